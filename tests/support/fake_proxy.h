// End-to-end support: a scriptable proxy server on 127.0.0.1 that the connector under test connects to. Each accepted
// connection runs the handshake as scripted (key, answer check, acceptance word, connection type) and then, by its
// connection type, a script of steps. Everything received is recorded per connection with time stamps
// (tests/support/recording_server.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Common/relvo/Wire.h"
#include "tests/support/recording_server.h"

namespace testsupport {

// The answer a connector owes for a key (no terminating zero).
using relvo::wire::HandshakeAnswer;

// One step of the script that runs after the handshake.
struct ProxyStep {
  enum class Kind { Send, Wait, Close };
  Kind kind = Kind::Wait;
  std::string bytes;                    // Send: the bytes
  std::chrono::milliseconds time{0};    // Wait: duration

  static ProxyStep Send(std::string bytes);
  static ProxyStep Ping();              // 19 00
  static ProxyStep CreateTransport();   // 21 00
  // Sends nothing for `duration` (still recording what arrives).
  static ProxyStep Wait(std::chrono::milliseconds duration);
  // Closes the connection from the proxy side.
  static ProxyStep Close();
};

// `count` pings, `every` apart (the first at once).
std::vector<ProxyStep> Pings(int count, std::chrono::milliseconds every);

// How the proxy side runs the handshake of one connection.
struct HandshakeScript {
  bool sendKey = true;                 // false: accept and never send anything
  std::string key = "KEY-12345";       // the key text (any bytes)
  bool keyZero = true;                 // follow the key with one zero byte
  // When non-zero (and below the key's length with its zero), only this many bytes of it go out first; the rest follows
  // in a second segment once the answer has arrived, right before the acceptance word. The answer owed is then that of
  // the first segment.
  size_t splitAt = 0;
  // Sent once a correct answer arrived; empty: stall (send nothing more).
  std::string acceptance = relvo::wire::Word(relvo::wire::kAccepted);
  std::chrono::milliseconds answerDeadline{30000};
};

// A whole proxy: connection number i (0-based, in accept order) uses handshakes[min(i, n-1)]; the k-th command
// connection (type 1) runs commandScripts[min(k, n-1)], the k-th transport connection (type 2) transportScripts[min(k,
// n-1)]. After its script a connection is held open, still recording, until the peer closes it or the proxy stops.
struct ProxyScript {
  std::vector<HandshakeScript> handshakes{HandshakeScript{}};
  std::vector<std::vector<ProxyStep>> commandScripts{{}};
  std::vector<std::vector<ProxyStep>> transportScripts{{}};
};

// What happened on one accepted connection (closedByServer: closed by the proxy).
struct ProxyConnection : ConnectionRecord {
  std::string answer;          // bytes received up to and including the first zero
  bool answerOk = false;       // the answer owed for the key (as far as the peer saw it), and its zero
  bool acceptanceSent = false;
  std::string typeBytes;       // the connection-type word as received
  int connType = -1;           // its value once both bytes arrived
  std::string afterHandshake;  // every byte received after the type word
  bool scriptDone = false;     // all steps of its script completed

  bool Handshaken() const { return connType >= 0; }
};

class FakeProxy : public Recorder<ProxyConnection> {
 public:
  // Listens on 127.0.0.1:`port` (0: an ephemeral port). Throws std::runtime_error when it cannot.
  explicit FakeProxy(ProxyScript script = {}, uint16_t port = 0);
  ~FakeProxy() override;  // stops listening, ends every connection, joins all threads

  // Command connections (type 1), counted in accept order.
  bool WaitForCommandConnections(size_t count, std::chrono::milliseconds timeout = kDefaultWait) const;
  bool WaitForScriptDone(size_t index, std::chrono::milliseconds timeout = kDefaultWait) const;
  // Waits until connection `index` has received at least `count` bytes after its handshake (afterHandshake).
  bool WaitForReceived(size_t index, size_t count, std::chrono::milliseconds timeout = kDefaultWait) const;
  // Indexes of the connections handshaken with type `connType`, in accept order.
  std::vector<size_t> IndexesOfType(int connType) const;

 private:
  class Session;
  void Serve(Link& link) override;

  const ProxyScript script_;
  size_t commandCount_ = 0;    // guarded by the records' lock
  size_t transportCount_ = 0;  // guarded by the records' lock
};

}  // namespace testsupport
