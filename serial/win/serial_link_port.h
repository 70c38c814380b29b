// Serves the link protocol's port needs from the Windows serial port object.
#pragma once

#include "link/link_port.h"
#include "serial/win/serial_port.h"

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
    return port_.SendText(text, nullptr, nullptr, kInfinite);
  }
  Status SendBlocks(const void* data, std::uint32_t length) override {
    return port_.SendBlocks(data, length);
  }
  Status DiscardBuffers() override { return port_.DiscardBuffers(); }

 private:
  CSerialPort& port_;
};

}  // namespace ql
