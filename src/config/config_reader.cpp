// Reading an XML configuration file into a ConfigImage: plain text search for a fixed
// list of sections, loops and value tags, in a fixed order (the walk below).
#include "config/config_reader.h"

#include "common/file_access.h"
#include "config/config_walk.h"

#include <string>
#include <vector>

namespace vela {
namespace {

enum class Encoding {
    Text,  // the characters between the tags, as they are
    Flag,  // "0" for exactly "false", "1" for anything else
};

struct PlainValue {
    std::string name;
    int64_t id;
    Encoding encoding;
};

// One section read by TakeSection, with its value tags in output order.
struct PlainSection {
    std::string name;
    std::vector<PlainValue> values;
};

Status readPlainSection(ConfigWalk& walk, const PlainSection& plain) {
    const auto section = walk.document.TakeSection(Tag(plain.name));
    if (!section) return Status::Ok();
    for (const PlainValue& v : plain.values) {
        auto value = ConfigDocument::ReadValue(*section, Tag(v.name));
        if (!value) continue;
        if (v.encoding == Encoding::Flag) *value = (*value == "false") ? "0" : "1";
        if (Status s = walk.writer.AppendRecord(v.id, *value); !s) return s;
    }
    return Status::Ok();
}

// Steps 1 to 7.
const std::vector<PlainSection>& leadingSections() {
    static const std::vector<PlainSection> sections{
        {"sys", {{"powermode", 1000, Encoding::Flag}}},
        {"gps",
         {{"enable", 1010, Encoding::Flag},
          {"minperiod", 1011, Encoding::Text},
          {"mindist", 1012, Encoding::Text},
          {"minangle", 1013, Encoding::Text}}},
        {"gsm",
         {{"transferprotocol", 1231, Encoding::Text}, {"minsavedrecords", 1232, Encoding::Text}}},
        {"gprs",
         {{"enable", 1240, Encoding::Flag},
          {"apn", 1242, Encoding::Text},
          {"username", 1243, Encoding::Text},
          {"password", 1244, Encoding::Text},
          {"ip", 1245, Encoding::Text},
          {"port", 1246, Encoding::Text}}},
        {"sms",
         {{"enable", 1250, Encoding::Flag},
          {"login", 1252, Encoding::Text},
          {"password", 1253, Encoding::Text}}},
        {"servernum", {{"serverphonenum", 1260, Encoding::Text}}},
        {"geofence", {{"framebordersize", 1020, Encoding::Text}}},
    };
    return sections;
}

// Step 10.
const PlainSection& operatorSection() {
    static const PlainSection section{
        "operator", {{"sendperiod", 1270, Encoding::Text}, {"timestep", 1274, Encoding::Text}}};
    return section;
}

// Steps 16 to 18. The three profiles share one pattern around their base identifier;
// the first suffix digit names the profile, the second its group. The records keep
// this order even where the identifiers do not ascend.
PlainSection profileSection(const char* name, char profile, int64_t base) {
    const std::string p0 = std::string(1, profile) + "0";
    const std::string p1 = std::string(1, profile) + "1";
    return {name,
            {{"minperiod" + p0, base + 0, Encoding::Text},
             {"minsavedrecords" + p0, base + 1, Encoding::Text},
             {"sendperiod" + p0, base + 3, Encoding::Text},
             {"minperiod" + p1, base + 4, Encoding::Text},
             {"minsavedrecords" + p1, base + 6, Encoding::Text},
             {"sendperiod" + p1, base + 7, Encoding::Text},
             {"mindist" + p1, base + 5, Encoding::Text},
             {"minangle" + p1, base + 9, Encoding::Text}}};
}

const std::vector<PlainSection>& profileSections() {
    static const std::vector<PlainSection> sections{profileSection("home", '0', 1280),
                                                    profileSection("roaming", '1', 1290),
                                                    profileSection("unknown", '2', 1600)};
    return sections;
}

Status walkDocument(ConfigWalk& walk) {
    for (const PlainSection& section : leadingSections()) {
        if (Status s = readPlainSection(walk, section); !s) return s;
    }
    using Step = Status (*)(ConfigWalk&);
    for (Step step : {ReadFrames, ReadSecureNumbers}) {
        if (Status s = step(walk); !s) return s;
    }
    if (Status s = readPlainSection(walk, operatorSection()); !s) return s;
    for (Step step :
         {ReadOperatorCodes, ReadIoElements, ReadZones, ReadSendSchedule, ReadSmsSchedule}) {
        if (Status s = step(walk); !s) return s;
    }
    for (const PlainSection& section : profileSections()) {
        if (Status s = readPlainSection(walk, section); !s) return s;
    }
    return ReadProfileSchedules(walk);
}

}  // namespace

Status ReadConfigFile(const std::filesystem::path& path, int deviceType, ConfigImage& image) {
    // Only a regular file, and only up to the limit: a FIFO, a device or a huge file
    // picked by mistake is refused with its reason instead of hanging or exhausting
    // memory. A mistyped name is refused too, so a tracker never gets an empty image.
    Result<std::string> content = ReadRegularFile(path, kMaxConfigFileBytes);
    if (!content) return content.status();
    return EncodeConfigText(content.value(), deviceType, image);
}

Status EncodeConfigText(std::string_view text, int deviceType, ConfigImage& image) {
    if (deviceType != kDeviceTypeFm2xxx) {
        return Status::Fail("device type " + std::to_string(deviceType) +
                            " is not supported (only 0, FM2XXX)");
    }
    ConfigDocument document(text);
    ImageWriter writer;
    ConfigWalk walk{document, writer};
    if (Status s = walkDocument(walk); !s) return s;
    writer.FinishImage(image);
    return Status::Ok();
}

}  // namespace vela
