// Image upload and download.
#include "protocol/ClientSession.h"

namespace Korrafin {

// Not served yet: the packet is dropped.
void ClientSession::handleFileUpload(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleFileRequest(PacketReader& /*reader*/) {}

}  // namespace Korrafin
