#pragma once
// A serial line in raw mode: RS-232, RS-485 or one of the board's M-Bus
// interfaces. On an M-Bus slave interface (mode 5) the line returns every
// byte we send; those echoes are dropped from what Read delivers.
//
// A line whose device goes away (an adapter unplugged, a pty whose other end
// closed, a hang-up) or that reports an error without data is closed,
// traced, and opened again by a later Write, or by a later Read at most once
// a second, until the device is back.
#include <linux/serial.h>
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

// How the driver of an RS-485 line is switched to send (key rs485): not at
// all (a line that needs nothing, or an adapter that switches by itself),
// by the kernel's RS-485 mode (TIOCSRS485: RTS while sending), or by the
// gateway raising RTS around each write.
enum class Rs485Mode { kOff, kKernel, kRts };

struct Rs485Settings {
  Rs485Mode mode = Rs485Mode::kOff;
  int delayBeforeMs = 0;  // RTS up this long before the first bit (rs485_delay_before)
  int delayAfterMs = 0;   // and this long after the last (rs485_delay_after)
};

// The kernel's RS-485 settings for these: enabled, RTS on while sending and
// off after, the two delays.
serial_rs485 KernelRs485Settings(const Rs485Settings& settings);

class TSER : public TPort, public SerialParity {
 public:
  TSER() = default;
  ~TSER() override;

  bool Open() override;
  bool InitSerial(const std::string& device, int baudRate, int dataBits, char parity, int stopBits,
                  PortMode mode);
  char GetParity() const override { return parity_; }
  void SetParity(char parity) override { parity_ = parity; }
  SerialParity* Parity() override { return this; }
  bool Close() override;
  bool IsOpen() const override { return device_ >= 0; }
  bool Write(const uint8_t* data, int length) override;
  bool Read(uint8_t* buffer, int maxLength, int& count) override;
  void WatchInput(WaitSet& wait) override;

  // Applied at every Open (and so at every reopening). A device that refuses
  // (a pty, a USB adapter that switches by itself) gets one StartupLog line
  // and works as before.
  void SetRs485(const Rs485Settings& settings) { rs485_ = settings; }

 protected:
  // What poll reports for the open line now (revents, 0 for nothing): the
  // seam through which the tests give a line an error a pty cannot show.
  virtual short LineEvents() const;
  // The line control calls, the seam through which the tests see what is
  // asked of a device that a pty cannot show. false (errno set) when refused.
  virtual bool SetKernelRs485(const serial_rs485& settings);
  virtual bool SetRts(bool on);
  virtual void DrainOutput();

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

  Rs485Settings rs485_;
  bool rtsRefused_ = false;      // rs485 rts on a device that does not let RTS be set
  bool rs485Reported_ = false;   // its refusal is in the StartupLog already

  bool LineGone() const;
  void DropHungUpLine();
  bool ReopenAfterHangUp(int64_t intervalMs);
  void SwitchDirectionControl();
  void ReportRefusal(const char* what, int error);
  ssize_t WriteWithRts(const uint8_t* data, int length);
};

}  // namespace kestrel
