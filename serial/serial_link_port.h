// Serves the link protocol's port needs from a real serial port object.
#pragma once

#include <string>

#include "link/link_port.h"
#include "link/trace.h"
#include "serial/serial_port.h"

namespace ql {

// The handheld's line: 8 data bits, no parity, one stop bit, no handshake,
// reads that return at once, and a notification for arriving characters.
// Returns the status of the speed and format, the one setting a device may
// refuse; the others are taken by every serial device.
inline Status SetUpHandheldLine(CSerialPort& port, std::uint32_t baud) {
  const Status configured = port.ConfigureLine(baud, 8, kNoParity, kOneStopBit);
  port.SetFlowControl(FlowNone);
  port.SetReadMode(ReadNonBlocking);
  port.SetWatchMask(kEvRxChar);
  return configured;
}

class SerialLinkPort final : public LinkPort {
 public:
  explicit SerialLinkPort(CSerialPort& port) : port_(port) {}

  Status ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* count) override {
    return port_.ReceiveBytes(buffer, length, count, nullptr, kInfinite);
  }
  Status SendText(const char* text) override {
    return Send([&] { return port_.SendText(text, nullptr, nullptr, kInfinite); });
  }
  Status SendBlocks(const void* data, std::uint32_t length) override {
    return Send([&] { return port_.SendBlocks(data, length); });
  }
  // Each exchange begins with this: a failed send of the one before is forgotten.
  Status DiscardBuffers() override {
    sendFailure_ = kErrorSuccess;
    return port_.DiscardBuffers();
  }

 private:
  // Once a send failed, the rest of the exchange is not sent: the handheld
  // would read what follows a lost piece as the piece itself.
  template <typename Move>
  Status Send(Move move) {
    if (sendFailure_ != kErrorSuccess) return sendFailure_;
    sendFailure_ = move();
    if (sendFailure_ == kErrorTimeout) {
      Trace("send stalled: the line takes nothing; the rest of this transfer is dropped");
    } else if (sendFailure_ == kErrorOperationAborted) {
      Trace("send aborted; the rest of this transfer is dropped");
    } else if (sendFailure_ != kErrorSuccess) {
      Trace(("send failed with status " + std::to_string(sendFailure_) +
             "; the rest of this transfer is dropped")
                .c_str());
    }
    return sendFailure_;
  }

  CSerialPort& port_;
  Status sendFailure_ = kErrorSuccess;
};

}  // namespace ql
