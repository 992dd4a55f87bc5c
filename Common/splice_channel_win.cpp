#include "Common/splice_channel.h"

namespace libmo {

// Windows keeps recv and send: it has no splice.
SpliceChannel::~SpliceChannel() = default;
bool SpliceChannel::Open(int) { return false; }
int SpliceChannel::Receive(SOCKET, int) { return -1; }
int SpliceChannel::Send(SOCKET, int) { return -1; }

}  // namespace libmo
