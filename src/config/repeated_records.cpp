// Records of repeated elements, whose identifiers are computed from the number each
// element carries, and the composed values (operator code list, schedules).
#include "common/number.h"
#include "config/config_walk.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace vela {
namespace {

// Appends a record of a numbered family; a refusal names the element it came from.
Status appendNumbered(ConfigWalk& walk, std::string_view loopTag, int64_t id,
                      std::string_view value) {
    Status status = walk.writer.AppendRecord(id, value);
    if (!status) {
        return Status::Fail(std::string(loopTag) + " element " +
                            std::to_string(walk.elementNumber) + ": " + status.message());
    }
    return status;
}

void readElementNumber(ConfigWalk& walk, ElementValues& values, std::string_view element,
                       const Tag& numberTag) {
    if (auto number = values.ReadValue(element, numberTag)) {
        walk.elementNumber = parseAtoi(*number);
    }
}

// A family of up to six records per element, identifiers base + offset + 10 * number.
struct NumberedFamily {
    const char* loopName;
    const char* numberName;
    int64_t base;
    std::array<const char*, 6> valueNames;  // nullptr ends the list early
};

Status readNumberedFamily(ConfigWalk& walk, const NumberedFamily& family) {
    const Tag loopTag(family.loopName);
    const Tag numberTag(family.numberName);
    std::vector<Tag> valueTags;
    for (const char* name : family.valueNames) {
        if (name != nullptr) valueTags.emplace_back(name);
    }
    ElementValues values(walk.document);
    ElementCursor cursor;
    while (auto element = walk.document.NextElement(loopTag, cursor)) {
        readElementNumber(walk, values, *element, numberTag);
        for (std::size_t k = 0; k < valueTags.size(); ++k) {
            auto value = values.ReadValue(*element, valueTags[k]);
            if (!value) continue;
            const int64_t id =
                family.base + static_cast<int64_t>(k) + 10 * int64_t{walk.elementNumber};
            if (Status s = appendNumbered(walk, loopTag.open, id, *value); !s) return s;
        }
    }
    return Status::Ok();
}

// A schedule number as two upper-case hexadecimal digits. Numbers outside one byte
// are refused: they would shift every later pair of the schedule.
Status appendScheduleNumber(std::string& accumulator, std::string_view value, const Tag& tag) {
    const int32_t number = parseAtoi(value);
    if (number < 0 || number > 255) {
        return Status::Fail("schedule number " + std::to_string(number) + " in " + tag.open +
                            " is outside 0..255");
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%.2X", static_cast<unsigned>(number));
    accumulator.append(digits, 2);
    return Status::Ok();
}

struct Schedule {
    std::string_view weekdaySection;
    std::string_view weekdayTag;
    std::string_view daytimeLoop;
    std::string_view daytimeTag;
    int64_t id;
    bool alwaysWritten;
};

// The weekday (when present) and the time of every daytime element, in document order.
Status readSchedule(ConfigWalk& walk, const Schedule& schedule) {
    std::string accumulator;
    const Tag weekdayTag(schedule.weekdayTag);
    if (auto section = walk.document.TakeSection(Tag(schedule.weekdaySection))) {
        if (auto weekday = ConfigDocument::ReadValue(*section, weekdayTag)) {
            if (Status s = appendScheduleNumber(accumulator, *weekday, weekdayTag); !s) return s;
        }
    }
    const Tag loopTag(schedule.daytimeLoop);
    const Tag timeTag(schedule.daytimeTag);
    ElementValues values(walk.document);
    ElementCursor cursor;
    while (auto element = walk.document.NextElement(loopTag, cursor)) {
        if (auto time = values.ReadValue(*element, timeTag)) {
            if (Status s = appendScheduleNumber(accumulator, *time, timeTag); !s) return s;
            if (accumulator.size() > kMaxValueLength) break;  // refused by the writer
        }
    }
    if (accumulator.empty() && !schedule.alwaysWritten) return Status::Ok();
    return walk.writer.AppendRecord(schedule.id, accumulator);
}

}  // namespace

Status ReadFrames(ConfigWalk& walk) {
    return readNumberedFamily(walk, {"frame", "frameid", 1021, {"x1", "y1", "x2", "y2"}});
}

Status ReadIoElements(ConfigWalk& walk) {
    return readNumberedFamily(
        walk, {"io",
               "ioid",
               1300,
               {"enable", "priority", "highlevel", "lowlevel", "operand", "avgcounter"}});
}

Status ReadSecureNumbers(ConfigWalk& walk) {
    // The loop's tags carry a blank in front, so that the value tag of the same name
    // inside each element is not taken for the next element.
    const Tag loopTag(" <securenum>", " </securenum>");
    const Tag numberTag("num");
    const Tag valueTag("securenum");
    ElementValues values(walk.document);
    ElementCursor cursor;
    while (auto element =
               walk.document.NextElement(loopTag, cursor, CursorAdvance::BothPastElement)) {
        readElementNumber(walk, values, *element, numberTag);
        if (auto value = values.ReadValue(*element, valueTag)) {
            const int64_t id = 1261 + int64_t{walk.elementNumber};
            if (Status s = appendNumbered(walk, "<securenum>", id, *value); !s) return s;
        }
    }
    return Status::Ok();
}

Status ReadOperatorCodes(ConfigWalk& walk) {
    const Tag loopTag("operatorcode");
    const Tag codeTag("code");
    std::string codes;
    ElementValues values(walk.document);
    ElementCursor cursor;
    while (auto element = walk.document.NextElement(loopTag, cursor)) {
        if (auto code = values.ReadValue(*element, codeTag)) {
            codes.append(*code);
            codes.push_back(',');
            // Overlapping elements can repeat one long code many times over: stop as
            // soon as the list is too long to be sent (the writer refuses it).
            if (codes.size() > kMaxValueLength + 1) break;
        }
    }
    if (!codes.empty()) codes.pop_back();
    return walk.writer.AppendRecord(1271, codes);
}

Status ReadZones(ConfigWalk& walk) {
    const Tag loopTag("geofenceframe_hlp");
    const Tag numberTag("frameid");
    struct Term {
        Tag tag;
        int64_t weight;
    };
    const std::array<Term, 4> terms{{{Tag("shapetype"), 1},
                                     {Tag("priority"), 2},
                                     {Tag("enterevent"), 16},
                                     {Tag("exitevent"), 32}}};
    ElementValues values(walk.document);
    ElementCursor cursor;
    while (auto element = walk.document.NextElement(loopTag, cursor)) {
        readElementNumber(walk, values, *element, numberTag);
        // Each term is a saturated 32-bit number; the weighted sum cannot overflow 64 bits.
        int64_t settings = 0;
        for (const Term& term : terms) {
            if (auto value = values.ReadValue(*element, term.tag)) {
                settings += term.weight * parseAtoi(*value);
            }
        }
        const int64_t id = 1020 + 10 * int64_t{walk.elementNumber};
        if (Status s = appendNumbered(walk, loopTag.open, id, std::to_string(settings)); !s) {
            return s;
        }
    }
    return Status::Ok();
}

Status ReadSendSchedule(ConfigWalk& walk) {
    return readSchedule(walk, {"sendweekday", "sendwday", "senddaytime", "senddtime", 1272, true});
}

Status ReadSmsSchedule(ConfigWalk& walk) {
    return readSchedule(walk, {"smsweekday", "smswday", "smsdaytime", "smsdtime", 1273, true});
}

Status ReadProfileSchedules(ConfigWalk& walk) {
    struct Profile {
        const char* suffix;
        int64_t id;
    };
    // Group 0 shares its identifier with the profile's send period; group 1 is base + 8.
    constexpr std::array<Profile, 6> kProfiles{
        {{"00", 1283}, {"01", 1288}, {"10", 1293}, {"11", 1298}, {"20", 1603}, {"21", 1608}}};
    for (const Profile& profile : kProfiles) {
        const std::string p = profile.suffix;
        const std::string weekdaySection = "sendweekday" + p;
        const std::string weekdayTag = "sendwday" + p;
        const std::string daytimeLoop = "senddaytime" + p;
        const std::string daytimeTag = "senddtime" + p;
        if (Status s = readSchedule(
                walk, {weekdaySection, weekdayTag, daytimeLoop, daytimeTag, profile.id, false});
            !s) {
            return s;
        }
    }
    return Status::Ok();
}

}  // namespace vela
