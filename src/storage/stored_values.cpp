#include "storage/stored_values.h"

#include "storage/columns.h"

#include <limits>
#include <string_view>

namespace vela {

namespace {

constexpr int32_t kDefaultPushPort = 2001;

int32_t numberInRange(int64_t stored, int64_t low, int64_t high, int32_t fallback,
                      const char* column, std::vector<std::string>& warnings) {
    if (stored >= low && stored <= high) return static_cast<int32_t>(stored);
    warnings.push_back("the stored " + std::string(column) + " " + std::to_string(stored) +
                       " is out of range (" + std::to_string(low) + " to " + std::to_string(high) +
                       "); the default " + std::to_string(fallback) + " is used");
    return fallback;
}

// FNV-1a, 64 bits.
class Fingerprint {
public:
    void add(std::string_view bytes) {
        addNumber(bytes.size());  // lengths keep "ab","c" apart from "a","bc"
        for (const char c : bytes) mix(static_cast<unsigned char>(c));
    }
    void addNumber(uint64_t number) {
        for (int shift = 0; shift < 64; shift += 8)
            mix(static_cast<unsigned char>(number >> shift));
    }
    uint64_t value() const { return hash_; }

private:
    void mix(unsigned char byte) {
        hash_ ^= byte;
        hash_ *= 0x100000001b3ULL;
    }
    uint64_t hash_ = 0xcbf29ce484222325ULL;
};

}  // namespace

void ApplyStoredSettings(const StoredSettingsNumbers& stored, std::string modemPort,
                         ProgramSettings& settings, std::vector<std::string>& warnings) {
    const ProgramSettings defaults;
    settings.externalIp = low32Bits(stored.ip);
    settings.externalPort =
        numberInRange(stored.externalPort, 0, 65535, defaults.externalPort, "EPort", warnings);
    settings.localPort =
        numberInRange(stored.localPort, 0, 65535, defaults.localPort, "LPort", warnings);
    settings.timeoutSeconds =
        numberInRange(stored.timeoutSeconds, 0, std::numeric_limits<int32_t>::max(),
                      defaults.timeoutSeconds, "Timeout", warnings);
    settings.modemPort = std::move(modemPort);
}

int32_t StoredPushPort(int64_t stored, const std::string& description,
                       std::vector<std::string>& warnings) {
    if (stored >= 0 && stored <= 65535) return static_cast<int32_t>(stored);
    warnings.push_back("the stored Port " + std::to_string(stored) + " of tracker '" + description +
                       "' is out of range (0 to 65535); the default " +
                       std::to_string(kDefaultPushPort) + " is used");
    return kDefaultPushPort;
}

TrackerListStamp StampOf(const TrackerList& list) {
    Fingerprint print;
    print.addNumber(list.entries().size());
    for (const TrackerEntry& entry : list.entries()) {
        for (const std::string* text :
             {&entry.description, &entry.phone, &entry.apn, &entry.smsUser, &entry.smsPassword,
              &entry.gprsUser, &entry.gprsPassword}) {
            print.add(*text);
        }
        for (const int32_t number : {entry.pushPort, entry.auth, entry.deviceType}) {
            print.addNumber(static_cast<uint32_t>(number));
        }
    }
    return print.value();
}

}  // namespace vela
