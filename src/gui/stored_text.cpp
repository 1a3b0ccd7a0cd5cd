#include "gui/stored_text.h"

#include "storage/text_encoding.h"

#include <QLineEdit>
#include <QVariant>

namespace vela {

namespace {
constexpr const char* kShownBytes = "velaStoredBytes";
}  // namespace

QString DisplayText(const std::string& bytes) {
    return QString::fromStdString(ReadableUtf8(bytes));
}

QByteArray StoredBytes(const std::string& bytes) {
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string FromStoredBytes(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

void ShowStoredText(QLineEdit* box, const std::string& bytes) {
    if (!box->property(kShownBytes).isValid()) {
        // Whatever the operator types is the operator's text, even when it reads the same.
        QObject::connect(box, &QLineEdit::textEdited, box,
                         [box] { box->setProperty(kShownBytes, QByteArray()); });
    }
    box->setText(DisplayText(bytes));
    box->setProperty(kShownBytes, StoredBytes(bytes));
}

std::string StoredText(const QLineEdit* box) {
    const std::string bytes = FromStoredBytes(box->property(kShownBytes).toByteArray());
    if (!bytes.empty() && box->text() == DisplayText(bytes)) return bytes;
    return box->text().toStdString();
}

}  // namespace vela
