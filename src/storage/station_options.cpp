#include "storage/station_options.h"

#include "common/terminal_text.h"

namespace vela {

std::vector<OptionRow> OptionRows(const StationOptions& options) {
    return {{kOptionAllowFrom, options.allowFrom.Text()},
            {kOptionDeliveryReports, OnOffText(options.askForDeliveryReports)}};
}

Status ApplyOptionRow(const std::string& name, const std::string& value, StationOptions& options) {
    if (name == kOptionAllowFrom) {
        Result<AddressAllowList> list = parseAddressAllowList(value);
        if (!list) {
            return Status::Fail("the stored caller allow-list is not valid: " + list.message(),
                                StatusCode::Invalid);
        }
        options.allowFrom = std::move(list.value());
    } else if (name == kOptionDeliveryReports) {
        Result<bool> on = ParseOnOff(value);
        if (!on) {
            return Status::Fail("the stored option " + name + " is '" +
                                    EscapeForTerminal(value) + "', not on or off",
                                StatusCode::Invalid);
        }
        options.askForDeliveryReports = on.value();
    }
    return Status::Ok();
}

const char* OnOffText(bool on) {
    return on ? "on" : "off";
}

Result<bool> ParseOnOff(std::string_view text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return Result<bool>::Fail("expected on or off", StatusCode::Invalid);
}

}  // namespace vela
