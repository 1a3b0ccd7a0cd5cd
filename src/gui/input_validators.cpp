#include "gui/input_validators.h"

#include <algorithm>

namespace vela {

QValidator::State UpperCaseValidator::validate(QString& input, int& position) const {
    input = input.toUpper();
    position = std::clamp(position, 0, static_cast<int>(input.size()));
    return Acceptable;
}

QValidator::State DigitsValidator::validate(QString& input, int& /*position*/) const {
    const bool digitsOnly = std::all_of(input.cbegin(), input.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    return digitsOnly ? Acceptable : Invalid;
}

}  // namespace vela
