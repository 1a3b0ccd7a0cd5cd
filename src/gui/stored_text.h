#pragma once

#include <QByteArray>
#include <QString>
#include <string>

class QLineEdit;

namespace vela {

// Texts from the stores are bytes. The controls show them readably (UTF-8, and Latin-1
// for bytes that are not UTF-8) while the stored bytes stay the key: an item carries
// them as its data, and a box that shows a stored text gives the same bytes back as long
// as the operator has not changed what it shows.

// The role under which list and choice items keep the stored bytes.
inline constexpr int kStoredBytesRole = Qt::UserRole;

QString DisplayText(const std::string& bytes);
QByteArray StoredBytes(const std::string& bytes);
std::string FromStoredBytes(const QByteArray& bytes);

// Shows `bytes` in `box` and remembers them until the operator edits the box.
void ShowStoredText(QLineEdit* box, const std::string& bytes);
// The remembered bytes while the box still shows them unedited; otherwise what it
// shows, in UTF-8.
std::string StoredText(const QLineEdit* box);

}  // namespace vela
