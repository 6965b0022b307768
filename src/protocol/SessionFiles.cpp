// Image upload and download; the store itself is FileStore.
#include "core/Logger.h"
#include "protocol/ClientSession.h"
#include "protocol/FileStore.h"

namespace Korrafin {

// str extension, u32 size, the data. The stored name goes back to the
// uploader; whatever keeps it from the store on our side (too many uploads
// of this session, a full store, a failed write) answers "Server write
// error", stores nothing and is logged.
void ClientSession::handleFileUpload(PacketReader& reader) {
    std::string ext = reader.readStr();
    const uint32_t size = reader.readLE<uint32_t>();

    PacketBuilder b(MessageType::FileUploadResult);
    auto refuse = [&](const char* text) {
        b.writeLE<uint8_t>(0);
        b.writeStr(text);
        send(b);
    };
    if (!FileStore::normaliseExtension(ext) || size == 0 || size > FileStore::kMaxFileBytes)
        return refuse("Invalid file type or size");
    const auto data = reader.readBytes(size);

    if (!uploads_.admit()) {
        Logger::instance().logf(LogLevel::Warn, "Client {}: upload refused: more than {} uploads in a minute",
                                clientId_, UploadWindow::kMaxPerMinute);
        return refuse("Server write error");
    }
    const FileStore::StoreResult stored = FileStore::store(ext, data);
    if (!stored.ok) {
        Logger::instance().logf(LogLevel::Warn, "Client {}: upload not stored: {}", clientId_, stored.error);
        return refuse("Server write error");
    }
    Logger::instance().logf(LogLevel::Info, "Client {} uploaded file: {} ({} bytes)", clientId_, stored.name, size);
    b.writeLE<uint8_t>(1);
    b.writeStr(stored.name);
    send(b);
}

// str name. FileData carries the whole file, or "not found" for whatever the
// store does not serve.
void ClientSession::handleFileRequest(PacketReader& reader) {
    const std::string name = reader.readStr();

    PacketBuilder b(MessageType::FileData);
    b.writeStr(name);
    b.writeLE<uint8_t>(1);
    const std::size_t sizeAt = b.payload.size();
    b.writeLE<uint32_t>(0);
    if (!FileStore::readAppend(name, b.payload)) {
        PacketBuilder notFound(MessageType::FileData);
        notFound.writeStr(name);
        notFound.writeLE<uint8_t>(0);
        send(notFound);
        return;
    }
    const auto size = static_cast<uint32_t>(b.payload.size() - sizeAt - sizeof(uint32_t));
    for (std::size_t i = 0; i < sizeof size; ++i) b.payload[sizeAt + i] = static_cast<uint8_t>(size >> (8 * i));
    send(b);
}

}  // namespace Korrafin
