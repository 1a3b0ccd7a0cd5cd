// Encoding speed of the configuration reader for files of growing size. Every search
// scans the current text and every section cut moves the rest of it, so the cost must
// grow linearly with the file: compare bytes_per_second across the sizes, and the
// fitted complexity (expected O(N)). It also times the largest image the encoder accepts.
#include "bench_table.h"
#include "config/config_reader.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// Every section, loop and profile, as an operator would write it.
const char* const kConfiguration = R"(<?xml version="1.0" encoding="UTF-8"?>
<Configuration>
  <SYS><PowerMode>false</PowerMode></SYS>
  <GPS><Enable>true</Enable><MinPeriod>60</MinPeriod><MinDist>100</MinDist><MinAngle>15</MinAngle></GPS>
  <GSM><TransferProtocol>1</TransferProtocol><MinSavedRecords>5</MinSavedRecords></GSM>
  <GPRS><Enable>true</Enable><Apn>Internet.Provider</Apn><UserName>fleet</UserName>
    <Password>secret</Password><Ip>127.0.0.1</Ip><Port>16384</Port></GPRS>
  <SMS><Enable>true</Enable><Login>sms</Login><Password>1234</Password></SMS>
  <ServerNum><ServerPhoneNum>37060000000</ServerPhoneNum></ServerNum>
  <Geofence><FrameBorderSize>50</FrameBorderSize></Geofence>
  <Operator><SendPeriod>300</SendPeriod><TimeStep>10</TimeStep></Operator>
  <SendWeekDay><SendWDay>127</SendWDay></SendWeekDay>
  <SmsWeekDay><SmsWDay>31</SmsWDay></SmsWeekDay>
)";

const char* const kProfiles = R"(
  <Home><MinPeriod00>60</MinPeriod00><SendPeriod00>120</SendPeriod00><MinDist01>200</MinDist01></Home>
  <Roaming><MinPeriod10>300</MinPeriod10><SendPeriod11>600</SendPeriod11></Roaming>
  <Unknown><MinPeriod20>600</MinPeriod20><MinAngle21>30</MinAngle21></Unknown>
  <SendWeekDay00><SendWDay00>62</SendWDay00></SendWeekDay00>
  <SendDayTime21><SendDTime21>23</SendDTime21></SendDayTime21>
</Configuration>
)";

// A file of about `size` bytes: the configuration, then repeated blocks of records and
// of text the reader passes over (comments, notes, elements without value tags), so that
// the image stays within its 64 KiB while the file grows.
std::string makeConfiguration(std::size_t size) {
    std::string text = kConfiguration;
    const std::string profiles = kProfiles;
    int block = 0;
    while (text.size() + profiles.size() < size) {
        const std::string n = std::to_string(block % 100);
        if (block < 200) {
            text += "  <Frame><FrameId>" + n + "</FrameId><X1>25.25</X1><Y1>54.68</Y1></Frame>\n";
            text += "  <OperatorCode><Code>246" + n + "</Code></OperatorCode>\n";
            text += "  <SendDayTime><SendDTime>" + n + "</SendDTime></SendDayTime>\n";
        }
        text += "  <!-- Site " + n +
                ": depot gate, loading bay and the service road to the north. -->\n"
                "  <Notes><Line>Check the antenna cable after every service.</Line></Notes>\n"
                "  <IO><IoId>" +
                n + "</IoId><Description>digital input " + n + "</Description></IO>\n";
        ++block;
    }
    text += profiles;
    return text;
}

void BM_EncodeConfiguration(benchmark::State& state) {
    const std::string text = makeConfiguration(static_cast<std::size_t>(state.range(0)));
    auto image = std::make_unique<vela::ConfigImage>();
    for (auto _ : state) {
        const vela::Status status = vela::EncodeConfigText(text, 0, *image);
        if (!status) {
            state.SkipWithError(status.message().c_str());
            break;
        }
        benchmark::DoNotOptimize(image->bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    state.SetComplexityN(static_cast<int64_t>(text.size()));
    state.counters["image_bytes"] = image->length;
}

BENCHMARK(BM_EncodeConfiguration)
    ->Arg(10 << 10)
    ->Arg(1 << 20)
    ->Arg(10 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// Overlapping elements: all opening tags first, then all closing tags, so that every
// element spans most of the file. Searching each element afresh would be quadratic.
void BM_EncodeNestedElements(benchmark::State& state) {
    const std::size_t count = static_cast<std::size_t>(state.range(0)) / 40;
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "<io><frame>";
    text += "<description>x</description>";
    for (std::size_t i = 0; i < count; ++i) text += "</frame></io>";
    auto image = std::make_unique<vela::ConfigImage>();
    for (auto _ : state) {
        const vela::Status status = vela::EncodeConfigText(text, 0, *image);
        if (!status) {
            state.SkipWithError(status.message().c_str());
            break;
        }
        benchmark::DoNotOptimize(image->bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    state.SetComplexityN(static_cast<int64_t>(text.size()));
}

BENCHMARK(BM_EncodeNestedElements)
    ->Arg(10 << 10)
    ->Arg(1 << 20)
    ->Arg(10 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// The configuration with `blocks` blocks of records and an APN of `apnLength` bytes.
std::string makeImageText(int blocks, std::size_t apnLength) {
    std::string text = kConfiguration;
    const std::string apn = "<Apn>Internet.Provider</Apn>";
    text.replace(text.find(apn), apn.size(), "<Apn>" + std::string(apnLength, 'a') + "</Apn>");
    for (int block = 0; block < blocks; ++block) {
        const std::string n = std::to_string(block % 100);
        text += "  <Frame><FrameId>" + n + "</FrameId><X1>25.25</X1><Y1>54.68</Y1></Frame>\n";
        text += "  <OperatorCode><Code>246" + n + "</Code></OperatorCode>\n";
        text += "  <SendDayTime><SendDTime>" + n + "</SendDTime></SendDayTime>\n";
    }
    text += kProfiles;
    return text;
}

// The largest number for which `accepted` holds, in [low, high]; `accepted(low)` holds.
template <typename Accepted>
std::size_t largestAccepted(std::size_t low, std::size_t high, Accepted accepted) {
    while (low < high) {
        const std::size_t middle = low + (high - low + 1) / 2;
        if (accepted(middle)) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    return low;
}

// The largest image an operator's file can give, built two ways: as many records as
// fit, then an APN that fills the image to the last byte it can (a long file of short
// records); or the APN alone (the shortest file for that image).
std::string makeLargestImageText(bool records) {
    auto image = std::make_unique<vela::ConfigImage>();
    auto accepted = [&](int blocks, std::size_t apnLength) {
        return vela::EncodeConfigText(makeImageText(blocks, apnLength), 0, *image).ok();
    };
    const auto blocks =
        records ? static_cast<int>(largestAccepted(
                      0, 20000, [&](std::size_t b) { return accepted(static_cast<int>(b), 1); }))
                : 0;
    const std::size_t apnLength =
        largestAccepted(1, 65535, [&](std::size_t length) { return accepted(blocks, length); });
    return makeImageText(blocks, apnLength);
}

// The encoder's whole time for the largest image; argument 1: of records, 0: one value.
void BM_EncodeLargestImage(benchmark::State& state) {
    static const std::string ofRecords = makeLargestImageText(true);
    static const std::string ofOneValue = makeLargestImageText(false);
    const std::string& text = state.range(0) != 0 ? ofRecords : ofOneValue;
    auto image = std::make_unique<vela::ConfigImage>();
    for (auto _ : state) {
        const vela::Status status = vela::EncodeConfigText(text, 0, *image);
        if (!status) {
            state.SkipWithError(status.message().c_str());
            break;
        }
        benchmark::DoNotOptimize(image->bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    state.counters["image_bytes"] = image->length;
    state.counters["records"] = (image->bytes[3] << 8) | image->bytes[4];  // header count
    state.counters["file_bytes"] = static_cast<double>(text.size());
}

BENCHMARK(BM_EncodeLargestImage)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

std::vector<vela::bench::Row> encoderRows(const vela::bench::Results& results) {
    using vela::bench::format;
    std::vector<vela::bench::Row> rows;
    const struct {
        const char* label;
        const char* name;
    } sizes[] = {{"10 KB", "BM_EncodeConfiguration/10240"},
                 {"1 MB", "BM_EncodeConfiguration/1048576"},
                 {"10 MB", "BM_EncodeConfiguration/10485760"}};
    double smallest = 0;
    double biggest = 0;
    for (const auto& size : sizes) {
        const std::string figure = format("Encoder throughput, %s configuration", size.label);
        const auto found = results.find(size.name);
        if (found == results.end() || found->second.failed) {
            rows.push_back(vela::bench::missingRow(figure, "linear growth", results, size.name));
            continue;
        }
        const double mbPerSecond = found->second.counter("bytes_per_second") / 1e6;
        if (smallest == 0) smallest = mbPerSecond;
        biggest = mbPerSecond;
        rows.push_back({figure, "linear growth", format("%.1f MB/s", mbPerSecond), true});
    }
    if (smallest > 0 && biggest > 0) {
        // Linear cost keeps the rate; a quadratic one would lose a factor of 1000 here.
        rows.push_back({"Encoder rate, 10 MB against 10 KB", ">= 50 %",
                        format("%.0f %%", 100.0 * biggest / smallest), biggest >= 0.5 * smallest});
    }
    const struct {
        const char* figure;
        const char* name;
    } largest[] = {{"Encoder, largest legal image, one long value", "BM_EncodeLargestImage/0"},
                   {"Encoder, largest legal image, of records", "BM_EncodeLargestImage/1"}};
    for (const auto& kind : largest) {
        const auto found = results.find(kind.name);
        if (found == results.end() || found->second.failed) {
            rows.push_back(vela::bench::missingRow(kind.figure, "< 1 ms", results, kind.name));
            continue;
        }
        const double ms = found->second.realNs / 1e6;
        rows.push_back(
            {kind.figure, "< 1 ms",
             format("%.3f ms (%.0f-byte image of %.0f records, %.0f-byte file)", ms,
                    found->second.counter("image_bytes"), found->second.counter("records"),
                    found->second.counter("file_bytes")),
             ms < 1.0});
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    return vela::bench::runAndReport(argc, argv, encoderRows);
}
