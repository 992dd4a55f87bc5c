#include <fcntl.h>
#include <unistd.h>

#include "Common/splice_channel.h"

namespace libmo {

SpliceChannel::~SpliceChannel() {
  if (read_ >= 0) ::close(read_);
  if (write_ >= 0) ::close(write_);
}

bool SpliceChannel::Open(int chunk) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  read_ = ends[0];
  write_ = ends[1];
  // A pipe holds 64 KB unless told otherwise; a larger chunk needs room for
  // all of it, or a Receive could not take a whole chunk at once.
  if (chunk > 65536 && ::fcntl(write_, F_SETPIPE_SZ, chunk) < 0) {
    ::close(read_);
    ::close(write_);
    read_ = write_ = -1;
    return false;
  }
  return true;
}

int SpliceChannel::Receive(SOCKET source, int chunk) {
  return static_cast<int>(::splice(source, nullptr, write_, nullptr, static_cast<size_t>(chunk), SPLICE_F_MOVE));
}

int SpliceChannel::Send(SOCKET destination, int length) {
  return static_cast<int>(::splice(read_, nullptr, destination, nullptr, static_cast<size_t>(length), SPLICE_F_MOVE));
}

}  // namespace libmo
