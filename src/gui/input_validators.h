#pragma once

#include <QValidator>

namespace vela {

// Turns letters into capitals as they are typed or pasted, so a port box always holds
// the upper-case hexadecimal digits that the conversions expect.
class UpperCaseValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& position) const override;
};

// Accepts only the digits 0 to 9 (the phone number box, the time-out box).
class DigitsValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& position) const override;
};

}  // namespace vela
