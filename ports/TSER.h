#pragma once
// A serial line in raw mode: RS-232, RS-485 or one of the board's M-Bus
// interfaces. On an M-Bus slave interface (mode 5) the line returns every
// byte we send; those echoes are dropped from what Read delivers.
//
// A line whose device goes away (an adapter unplugged, a pty whose other end
// closed, a hang-up) or that reports an error without data is closed,
// traced, and opened again by a later Write, or by a later Read at most once
// a second, until the device is back.
#include <termios.h>

#include <cstdint>
#include <string>

#include "ports/TPort.h"

namespace kestrel {

// The terminal settings for a line: raw, no flow control, VMIN = VTIME = 0.
// false for a baud rate, data bit count, parity letter or stop bit count
// that the line cannot take.
bool BuildSerialSettings(int baudRate, int dataBits, char parity, int stopBits, termios& settings);

// The bits of one character on the line: start, data, parity (any letter
// but N, in either case) and stop bits.
int CharacterBits(int dataBits, char parity, int stopBits);

class TSER : public TPort {
 public:
  TSER() = default;
  ~TSER() override;

  bool Open() override;
  bool InitSocket(const std::string&, uint16_t, const std::string&, uint16_t, bool) override { return false; }
  bool InitSerial(const std::string& device, int baudRate, int dataBits, char parity, int stopBits,
                  int mode) override;
  char GetParity() override { return parity_; }
  void SetParity(char parity) override { parity_ = parity; }
  bool SetTimeout(int) override { return false; }
  bool Close() override;
  bool Write(const uint8_t* data, int length) override;
  bool Read(uint8_t* buffer, int maxLength, int& count) override;
  void WatchInput(WaitSet& wait) override;

 protected:
  // What poll reports for the open line now (revents, 0 for nothing): the
  // seam through which the tests give a line an error a pty cannot show.
  virtual short LineEvents() const;

 private:
  int device_ = -1;
  termios settings_{};
  std::string devicePath_;
  int baudRate_ = 9600;
  int dataBits_ = 8;
  int stopBits_ = 1;
  char parity_ = 'N';
  int echoSkip_ = 0;  // bytes sent that have not come back as echo yet
  bool hungUp_ = false;
  int64_t lastReopenMs_ = 0;  // the last reopening tried; 0, the boot, is long ago

  bool LineGone() const;
  void DropHungUpLine();
  bool ReopenAfterHangUp(int64_t intervalMs);
};

}  // namespace kestrel
