#include "app/config_digest.h"

#include "common/file_access.h"

#include <QByteArrayView>
#include <QCryptographicHash>

namespace vela {

std::string ConfigFileSha256(const std::filesystem::path& path) {
    // The reader's own limit: a file it accepted is never too large here.
    constexpr std::size_t kConfigLimit = 16u * 1024 * 1024;
    const Result<std::string> content = ReadRegularFile(path, kConfigLimit);
    if (!content) return {};
    const QByteArrayView bytes(content.value().data(),
                               static_cast<qsizetype>(content.value().size()));
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
}

}  // namespace vela
