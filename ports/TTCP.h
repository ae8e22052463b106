#pragma once
// One TCP connection: as server it listens and serves one client at a time
// (a newer connection replaces the current one, once it is accepted, allowed
// and still open); as client it connects once
// at Open, blocking, and never reconnects, unless SetReconnect asked it to:
// then every connect is non-blocking and a lost connection is made again.
// Read polls with select and never waits.
#include <netinet/in.h>
#include <sys/select.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "ports/TPort.h"
#include "ports/allow_list.h"

namespace kestrel {

class TTCP : public TPort {
 public:
  TTCP() = default;
  ~TTCP() override;

  bool Open() override;
  bool InitSocket(const std::string& localInterface, uint16_t localPort, const std::string& remoteHost,
                  uint16_t remotePort, bool server);
  bool Close() override;
  // A listener while it listens; a client while its connection is made and
  // not known to be closed by the server.
  bool IsOpen() const override { return main_ >= 0 && !connecting_ && (server_ || mainLive_ || Reconnects()); }
  bool Write(const uint8_t* data, int length) override;
  bool Read(uint8_t* buffer, int maxLength, int& count) override;
  void WatchInput(WaitSet& wait) override;
  bool Connected() override;
  unsigned Connection() const override { return connection_; }

  // Server only: connections from elsewhere are closed at once.
  void SetAllowList(const AllowList& allow) { allow_ = allow; }
  // Client only: a connection that is lost, refused or never made is begun
  // again by the next Connected() at least `seconds` after the last connect
  // began; 0 (the default) connects once, at Open.
  void SetReconnect(int seconds) { reconnectSeconds_ = seconds; }

 private:
  bool AcceptConnection();
  bool ListenerResting() const;
  void RestListener(int error);
  bool OpenServer();
  bool OpenClient();
  void DropClient();
  int AcceptWithSpare(sockaddr_in& peer);
  void KeepSpare();
  bool Receive(int socket, uint8_t* buffer, int maxLength, int& count);
  bool Reconnects() const { return !server_ && reconnectSeconds_ > 0; }
  bool OpenReconnectingClient();
  bool ConnectDue() const;
  void StartConnect();
  void FinishConnect();
  void ConnectFailed(int error);
  void TraceConnected();
  void LoseConnection();

  int main_ = -1;    // listening socket (server) or the connection (client)
  int client_ = -1;  // server only: the accepted connection
  // Server only: a descriptor held in reserve (a duplicate of the
  // listener), given up to accept a newer master when the table is full, so
  // that it can take over from the one connected, and taken again at once.
  int spare_ = -1;
  // main_ listens (server) or holds a connection not yet closed by the peer
  // (client). Anything else reports a hang-up for ever and is not waited on.
  bool mainLive_ = false;
  bool server_ = false;
  sockaddr_in local_{};
  sockaddr_in remote_{};
  fd_set readSet_{};
  int highest_ = -1;
  static constexpr int reconnectTimeout_ = 10;  // seconds of failing sends before the listener is rebuilt
  time_t firstFailure_ = 0;    // 0: no failed send since Open
  AllowList allow_;
  unsigned connection_ = 0;  // server: counts the clients taken
  // Server: while accept fails for want of descriptors or memory, the
  // listener is neither watched nor accepted from until acceptRestEndMs_;
  // each rest in a row is twice as long as the one before, up to a limit.
  int64_t acceptRestEndMs_ = 0;
  int64_t acceptRestMs_ = 0;  // 0: accept works, the next rest is the shortest
  int reconnectSeconds_ = 0;
  bool connecting_ = false;     // main_ holds a connect that has not finished
  bool connectBegun_ = false;   // a connect was begun at connectStartMs_
  int64_t connectStartMs_ = 0;
};

}  // namespace kestrel
