#pragma once
// The communications layer the two serial classes stand on: open a port by
// name, line settings, queue sizes, time-outs, an event wait, reads, writes,
// queue counts, purge, modem lines, DTR, properties. The calls keep the shape
// of the classic serial-port calls those classes were written against, so
// their algorithms carry over step for step; PosixComm implements them on
// termios, the test fake in memory.
//
// Every call but Open returns 0 on success or a positive platform error
// number (errno on POSIX); WaitCommEvent may also return kCommStopped.
// Calls may come from the main thread and from one event thread per handle
// at the same time; implementations are thread-safe.
#include <cstdint>
#include <string>

namespace tarvina {

using CommHandle = long;
constexpr CommHandle kInvalidCommHandle = -1;

// The "maximum" time-out value.
constexpr std::uint32_t kCommMaxDword = 0xFFFFFFFFu;

// WaitCommEvent was ended by AbortWait.
constexpr int kCommStopped = -1;

// Event flags of SetCommMask / WaitCommEvent.
constexpr std::uint32_t EV_RXCHAR = 0x0001;    // a byte was received
constexpr std::uint32_t EV_RXFLAG = 0x0002;    // the event character was received
constexpr std::uint32_t EV_TXEMPTY = 0x0004;   // the last byte of the transmit queue went out
constexpr std::uint32_t EV_CTS = 0x0008;
constexpr std::uint32_t EV_DSR = 0x0010;
constexpr std::uint32_t EV_RLSD = 0x0020;
constexpr std::uint32_t EV_BREAK = 0x0040;
constexpr std::uint32_t EV_ERR = 0x0080;       // framing, overrun or parity error
constexpr std::uint32_t EV_RING = 0x0100;
constexpr std::uint32_t EV_RX80FULL = 0x0400;  // receive queue 80 % full

// PurgeComm flags.
constexpr std::uint32_t PURGE_TXABORT = 0x0001;
constexpr std::uint32_t PURGE_RXABORT = 0x0002;
constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
constexpr std::uint32_t SETRTS = 3;
constexpr std::uint32_t CLRRTS = 4;
constexpr std::uint32_t SETDTR = 5;
constexpr std::uint32_t CLRDTR = 6;
constexpr std::uint32_t SETBREAK = 8;
constexpr std::uint32_t CLRBREAK = 9;

// GetCommModemStatus bits.
constexpr std::uint32_t MS_CTS_ON = 0x0010;
constexpr std::uint32_t MS_DSR_ON = 0x0020;
constexpr std::uint32_t MS_RING_ON = 0x0040;
constexpr std::uint32_t MS_RLSD_ON = 0x0080;

// Line error flags of ClearCommError.
constexpr std::uint32_t CE_RXOVER = 0x0001;
constexpr std::uint32_t CE_OVERRUN = 0x0002;
constexpr std::uint32_t CE_RXPARITY = 0x0004;
constexpr std::uint32_t CE_FRAME = 0x0008;
constexpr std::uint32_t CE_BREAK = 0x0010;

// CommState::StopBits and CommState::Parity values.
constexpr std::uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
constexpr std::uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;

// CommState::Flags bits.
constexpr std::uint32_t kDcbBinary = 0x0001;
constexpr std::uint32_t kDcbParity = 0x0002;           // check received parity
constexpr std::uint32_t kDcbOutxCtsFlow = 0x0004;
constexpr std::uint32_t kDcbOutxDsrFlow = 0x0008;
constexpr std::uint32_t kDcbDtrControlMask = 0x0030;   // 0 disable, 0x10 enable, 0x20 handshake
constexpr std::uint32_t kDcbDtrEnable = 0x0010;
constexpr std::uint32_t kDcbDtrHandshake = 0x0020;
constexpr std::uint32_t kDcbDsrSensitivity = 0x0040;
constexpr std::uint32_t kDcbTxContinueOnXoff = 0x0080;
constexpr std::uint32_t kDcbOutX = 0x0100;
constexpr std::uint32_t kDcbInX = 0x0200;
constexpr std::uint32_t kDcbErrorChar = 0x0400;
constexpr std::uint32_t kDcbNull = 0x0800;             // drop received zero bytes
constexpr std::uint32_t kDcbRtsControlMask = 0x3000;   // 0 disable, 0x1000 enable, 0x2000 handshake, 0x3000 toggle
constexpr std::uint32_t kDcbRtsEnable = 0x1000;
constexpr std::uint32_t kDcbRtsHandshake = 0x2000;
constexpr std::uint32_t kDcbRtsToggle = 0x3000;

// The line-settings block.
struct CommState {
  std::uint32_t DCBlength = 28;
  std::uint32_t BaudRate = 0;  // bits per second
  std::uint32_t Flags = 0;     // kDcb... bits
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;   // 5 to 8
  std::uint8_t Parity = 0;     // NOPARITY ... SPACEPARITY
  std::uint8_t StopBits = 0;   // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;

  bool operator==(const CommState&) const = default;
};

// Milliseconds; kCommMaxDword is the maximum. A read with ReadIntervalTimeout
// kCommMaxDword and both read totals 0 returns at once with what is queued.
// A write may take WriteTotalTimeoutMultiplier per byte plus
// WriteTotalTimeoutConstant, both 0 meaning no limit.
struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;

  bool operator==(const CommTimeouts&) const = default;
};

// Queue counts of ClearCommError.
struct CommStat {
  std::uint32_t cbInQue = 0;   // bytes received, not yet read
  std::uint32_t cbOutQue = 0;  // bytes written, not yet sent
};

struct CommProperties {
  // Transmit and receive queue sizes; 0 when the port cannot tell.
  std::uint32_t dwCurrentTxQueue = 0;
  std::uint32_t dwCurrentRxQueue = 0;
  std::uint32_t dwMaxBaud = 0;  // 0: any speed the device accepts
};

class CommApi {
 public:
  virtual ~CommApi() = default;

  // Opens a port for exclusive reading and writing. `name` is "COMn", "COMn:"
  // (mapped through PortNames.h) or a device path. On failure returns
  // kInvalidCommHandle and sets *error (a missing device is 2, a port in use 16).
  virtual CommHandle Open(const std::string& name, int* error) = 0;
  virtual int Close(CommHandle h) = 0;

  // Recommended receive and transmit queue sizes.
  virtual int SetupComm(CommHandle h, std::uint32_t in_size, std::uint32_t out_size) = 0;
  // The settings last accepted by SetCommState (or read from the device at open).
  virtual int GetCommState(CommHandle h, CommState* state) = 0;
  virtual int SetCommState(CommHandle h, const CommState& state) = 0;
  virtual int GetCommTimeouts(CommHandle h, CommTimeouts* timeouts) = 0;
  virtual int SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) = 0;

  // Selects the events WaitCommEvent reports.
  virtual int SetCommMask(CommHandle h, std::uint32_t mask) = 0;
  // Blocks until one of the selected events occurs and sets *events to the
  // events seen since the last wait returned. Returns kCommStopped once
  // AbortWait was called for h, or an error number when the device failed
  // (a vanished device gives its error here, and to every later wait, read
  // and write).
  virtual int WaitCommEvent(CommHandle h, std::uint32_t* events) = 0;
  // Any thread: ends the WaitCommEvent running on h, and makes every later
  // one return kCommStopped at once, until h is closed.
  virtual int AbortWait(CommHandle h) = 0;

  // Reads up to n bytes as the read time-outs allow; *got is the count read.
  virtual int Read(CommHandle h, void* data, std::uint32_t n, std::uint32_t* got) = 0;
  // Writes n bytes, waiting as the write time-outs allow; *written is the count
  // written, smaller than n when the time-out ran out (which is no error).
  virtual int Write(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) = 0;
  // Writes what the transmit queue takes now, without waiting. When not all
  // of it fit, *written is the part that did and the result is EAGAIN.
  virtual int WriteNoWait(CommHandle h, const void* data, std::uint32_t n, std::uint32_t* written) = 0;
  // Sends one byte ahead of anything queued.
  virtual int TransmitCommChar(CommHandle h, char c) = 0;

  // Returns and clears the line error flags (CE_...); *stat may be null.
  virtual int ClearCommError(CommHandle h, std::uint32_t* errors, CommStat* stat) = 0;
  virtual int PurgeComm(CommHandle h, std::uint32_t flags) = 0;
  virtual int GetCommModemStatus(CommHandle h, std::uint32_t* status) = 0;
  virtual int EscapeCommFunction(CommHandle h, std::uint32_t function) = 0;
  virtual int GetCommProperties(CommHandle h, CommProperties* props) = 0;
};

}  // namespace tarvina
