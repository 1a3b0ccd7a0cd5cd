// Encoding speed of the configuration reader for files of growing size. Every search
// scans the current text and every section cut moves the rest of it, so the cost must
// grow linearly with the file: compare bytes_per_second across the sizes, and the
// fitted complexity (expected O(N)).
#include "config/config_reader.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

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

}  // namespace

BENCHMARK_MAIN();
