#pragma once

#include <QFrame>

#include <array>
#include <cstdint>

class QLineEdit;

namespace vela {

// An IPv4 address control: four fields of 0 to 255 between dots. A dot (or a blank)
// moves on to the next field, as does a third digit; Backspace in an empty field goes
// back. A blank field counts as 0. Tab leaves the control as a whole.
class IpAddressEdit : public QFrame {
    Q_OBJECT
public:
    explicit IpAddressEdit(QWidget* parent = nullptr);

    // First octet in the most significant byte.
    uint32_t address() const;
    void setAddress(uint32_t address);

    QLineEdit* field(int index) const { return fields_.at(static_cast<size_t>(index)); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int indexOf(QObject* watched) const;
    void moveTo(int index, bool selectAll);

    std::array<QLineEdit*, 4> fields_{};
};

}  // namespace vela
