#include "gui/ip_address_edit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QValidator>

#include <algorithm>

namespace vela {

namespace {

// Up to three digits with a value of at most 255; an empty field is allowed.
class OctetValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& /*position*/) const override {
        if (input.size() > 3) return Invalid;
        for (const QChar c : input) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) return Invalid;
        }
        return input.isEmpty() || input.toInt() <= 255 ? Acceptable : Invalid;
    }
};

}  // namespace

IpAddressEdit::IpAddressEdit(QWidget* parent) : QFrame(parent) {
    // Drawn like one edit box: a sunken panel with the base colour behind the fields.
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(0);
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (i > 0) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            layout->addWidget(dot);
        }
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("octet%1").arg(i + 1));
        edit->setFrame(false);
        edit->setAlignment(Qt::AlignCenter);
        edit->setMaxLength(3);
        edit->setValidator(new OctetValidator(edit));
        edit->installEventFilter(this);
        // Only the first field takes the focus by Tab, so Tab leaves the whole control.
        edit->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        connect(edit, &QLineEdit::textEdited, this, [this, i](const QString& text) {
            // The third digit completes a field: go on to the next one.
            if (text.size() == 3 && fields_[i]->cursorPosition() == 3 && i + 1 < fields_.size())
                moveTo(static_cast<int>(i) + 1, true);
        });
        layout->addWidget(edit, 1);
        fields_[i] = edit;
    }
    setFocusProxy(fields_[0]);
    setAddress(0);
}

uint32_t IpAddressEdit::address() const {
    uint32_t address = 0;
    for (const QLineEdit* edit : fields_) {
        // A blank field reads as 0 (toUInt gives 0 for an empty text).
        address = (address << 8) | (edit->text().toUInt() & 0xFFu);
    }
    return address;
}

void IpAddressEdit::setAddress(uint32_t address) {
    for (size_t i = 0; i < fields_.size(); ++i) {
        const uint32_t octet = (address >> (8 * (3 - i))) & 0xFFu;
        fields_[i]->setText(QString::number(octet));
    }
}

int IpAddressEdit::indexOf(QObject* watched) const {
    const auto it = std::find(fields_.begin(), fields_.end(), watched);
    return it == fields_.end() ? -1 : static_cast<int>(it - fields_.begin());
}

void IpAddressEdit::moveTo(int index, bool selectAll) {
    QLineEdit* edit = fields_.at(static_cast<size_t>(index));
    edit->setFocus(Qt::OtherFocusReason);
    if (selectAll) {
        edit->selectAll();
    } else {
        edit->end(false);
    }
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    const int index = indexOf(watched);
    if (index < 0 || event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const QLineEdit* edit = fields_[static_cast<size_t>(index)];
    const bool last = index + 1 == static_cast<int>(fields_.size());
    switch (key->key()) {
        case Qt::Key_Period:
        case Qt::Key_Space:
            // The separator ends a field that holds something; it is never typed into one.
            if (!last && !edit->text().isEmpty() && !edit->hasSelectedText())
                moveTo(index + 1, true);
            return true;
        case Qt::Key_Backspace:
            if (index > 0 && edit->cursorPosition() == 0 && !edit->hasSelectedText()) {
                moveTo(index - 1, false);
                return true;
            }
            break;
        case Qt::Key_Left:
            if (index > 0 && edit->cursorPosition() == 0 && !edit->hasSelectedText()) {
                moveTo(index - 1, false);
                return true;
            }
            break;
        case Qt::Key_Right:
            if (!last && edit->cursorPosition() == edit->text().size() &&
                !edit->hasSelectedText()) {
                fields_[static_cast<size_t>(index) + 1]->setFocus(Qt::OtherFocusReason);
                fields_[static_cast<size_t>(index) + 1]->setCursorPosition(0);
                return true;
            }
            break;
        default:
            break;
    }
    return QFrame::eventFilter(watched, event);
}

}  // namespace vela
