#include "Common/socket_io.h"

// Winsock neither wakes a blocked call on shutdown nor may the handle be
// closed while another thread can still use it. So every call is overlapped
// and waits for its own completion or the holder's wake-up event, whichever
// comes first; a woken call is cancelled and its end awaited.
namespace netutils {
namespace {

// The calling thread's event for its overlapped calls.
HANDLE ThreadEvent() {
  struct Event {
    HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() {
      if (handle != nullptr) ::CloseHandle(handle);
    }
  };
  thread_local Event event;
  return event.handle;
}

enum class Ended { kDone, kWoken, kTimedOut };

// One overlapped receive or send; the count or -1 with the last socket error.
int Transfer(const libmo::UniqueSocket& socket, bool receive, char* data, int length, DWORD timeout, Ended* how) {
  *how = Ended::kDone;
  const HANDLE wake = socket.WakeHandle();
  if (wake == nullptr || ::WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) {
    *how = Ended::kWoken;
    return -1;
  }
  const SOCKET s = socket.Handle();
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = ThreadEvent();
  ::ResetEvent(overlapped.hEvent);
  WSABUF buffer{static_cast<ULONG>(length), data};
  DWORD done = 0;
  DWORD flags = 0;
  const int started = receive ? ::WSARecv(s, &buffer, 1, &done, &flags, &overlapped, nullptr)
                              : ::WSASend(s, &buffer, 1, &done, 0, &overlapped, nullptr);
  if (started != 0) {
    if (::WSAGetLastError() != WSA_IO_PENDING) return -1;
    const HANDLE events[2] = {overlapped.hEvent, wake};
    const DWORD waited = ::WaitForMultipleObjects(2, events, FALSE, timeout);
    if (waited != WAIT_OBJECT_0) {
      *how = waited == WAIT_OBJECT_0 + 1 ? Ended::kWoken : Ended::kTimedOut;
      ::CancelIoEx(reinterpret_cast<HANDLE>(s), &overlapped);
    }
  }
  // Also after a cancel: the call may have ended with bytes just before it.
  if (!::WSAGetOverlappedResult(s, &overlapped, &done, TRUE, &flags)) {
    if (*how == Ended::kTimedOut) ::WSASetLastError(WSAETIMEDOUT);
    if (*how == Ended::kWoken) ::WSASetLastError(WSAESHUTDOWN);
    return -1;
  }
  return static_cast<int>(done);
}

}  // namespace

int Recv(const libmo::UniqueSocket& socket, char* data, int length) {
  const uint32_t bound = socket.receiveTimeoutMs.load();
  Ended how;
  const int n = Transfer(socket, true, data, length, bound == 0 ? INFINITE : bound, &how);
  // A woken receive reads as the end of the stream, as after a shut-down
  // (also one that failed on the shut-down socket before the wake-up).
  if (n < 0 && (how == Ended::kWoken || ::WaitForSingleObject(socket.WakeHandle(), 0) == WAIT_OBJECT_0)) return 0;
  return n;
}

int Send(const libmo::UniqueSocket& socket, const char* data, int length) {
  Ended how;
  const int n = Transfer(socket, false, const_cast<char*>(data), length, INFINITE, &how);
  if (n < 0 && how == Ended::kWoken) ::WSASetLastError(WSAESHUTDOWN);
  return n;
}

// Winsock has no flag to hold a send back: every send leaves as it comes.
int SendPart(const libmo::UniqueSocket& socket, const char* data, int length, bool) {
  return Send(socket, data, length);
}

bool Push(const libmo::UniqueSocket&) { return true; }

int RecvIfReady(const libmo::UniqueSocket& socket, char* data, int length) { return Recv(socket, data, length); }

void WaitReadable(const libmo::UniqueSocket&) {}

bool SetReceiveTimeout(libmo::UniqueSocket& socket, uint32_t ms) {
  socket.receiveTimeoutMs.store(ms);
  return true;
}

}  // namespace netutils
