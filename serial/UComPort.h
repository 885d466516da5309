#pragma once
// tComPort: the polled serial line of the BRD driver. It opens one of COM1 to
// COM9, applies speed, data bits, parity and stop bits, and offers byte writes
// (xmit) and reads (recv) that never wait for the line and report plain status
// codes instead of raising. It shares nothing with TComPort.
//
// tEventTask is the line's event thread; nothing in the server starts one, but
// it works as far as its own code goes (waits for line events, hands them to
// the main thread).
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Comm.h"

namespace tarvina {

class MainLoop;

// Fixed underlying types: a port index out of range (the sale passes the
// request's port number less one) is a value the line can hold and refuse.
enum tPort : int { Com1 = 0, Com2, Com3, Com4, Com5, Com6, Com7, Com8, Com9 };
enum tStopBits : int { sb_10 = 0, sb_15, sb_20 };
enum tDataBits : int { db_4 = 0, db_5, db_6, db_7, db_8 };
enum tParity : int { p_None = 0, p_Odd, p_Even, p_Mark, p_Space };
enum tBaudRate : int {
  b____300 = 0, b____600, b___1200, b___2400, b___4800, b___9600, b__14400, b__38400, b__57600, b_115200
};

constexpr std::uint32_t baudrates[10] = {300, 600, 1200, 2400, 4800, 9600, 14400, 38400, 57600, 115200};

constexpr int tser_ok = 0;
constexpr int tser_error = -2;
constexpr int tser_LineOpen = -3;
constexpr int tser_LineClosed = -4;
constexpr int tser_OutOfBuffer = -5;

// The events OpenLine asks the port for.
constexpr std::uint32_t kComPortEventMask = EV_RXCHAR | EV_TXEMPTY | EV_RLSD | EV_ERR | EV_RING | EV_RX80FULL;

class tComPort;

// The setup dialog (Tcomdlg) as the serial layer sees it: shown with the port
// and speed indexes, it gives back the chosen ones and true when closed with
// Ok. The desktop front end fills it; without one ExecConfigDialog gives false.
// The loop is there so that the dialog can wait in it like any driver does.
using ComConfigDialog = std::function<bool(MainLoop& loop, int& port_index, int& baud_index)>;
void SetComConfigDialog(ComConfigDialog dialog);

using tonDataAvail = std::function<void(tComPort& sender, int inBound)>;
using tComNotify = std::function<void(tComPort& sender)>;

class tEventTask {
 public:
  // Created suspended: Start() runs it. ThreadHandle is set by whoever starts it.
  explicit tEventTask(tComPort* aOwner);
  // Terminates and waits for the thread.
  ~tEventTask();
  tEventTask(const tEventTask&) = delete;
  tEventTask& operator=(const tEventTask&) = delete;

  void Start();
  // Ends the wait in progress; the thread stops before its next wait.
  void Terminate();
  // Joins the thread. From the main thread, a delivery the thread is waiting
  // to hand over runs first, so this never deadlocks.
  void WaitFor();
  bool Finished() const { return finished_.load(); }

  tComPort* ThreadOwner = nullptr;
  CommHandle ThreadHandle = kInvalidCommHandle;
  std::uint32_t eventmask = 0;

 private:
  void Execute();
  void Transfer();

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
};

class tComPort {
 public:
  tComPort(MainLoop& loop, CommApi& comm);
  ~tComPort();  // closes an open line
  tComPort(const tComPort&) = delete;
  tComPort& operator=(const tComPort&) = delete;

  int OpenLine();
  int closeLine();
  int setComPort();

  void setSB(tStopBits v);
  void setDB(tDataBits v);
  void setBD(tBaudRate v);
  void setPr(tParity v);
  void setCP(tPort v);
  tStopBits StopBits() const { return fSB; }
  tDataBits Databits() const { return fDB; }
  tBaudRate Baudrate() const { return fBD; }
  tParity Parity() const { return fPr; }
  tPort Comport() const { return fCP; }

  int xmit(const void* data, std::uint16_t datalen);
  int recv(void* data, std::uint16_t datalen);
  // The platform error number of the last recv that failed (-1), else 0.
  int RecvError() const { return recv_error_; }
  int GetInBound();
  int InBound() { return GetInBound(); }
  std::uint32_t getSendBufferFree();
  std::uint32_t SendBufferFree() { return getSendBufferFree(); }
  bool Command(const std::string& aCmd);
  void Com_Reset();
  // Shows the setup dialog with this line's port and speed; on Ok stores the
  // chosen ones (they reach the port at the next OpenLine or setter). True
  // when closed with Ok; no dialog, or any failure, gives false.
  bool ExecConfigDialog();

  void setOnDataAvail(tonDataAvail h) { fOnDataAvail = std::move(h); }
  void setOnRing(tComNotify h) { fOnRing = std::move(h); }
  void setOnDataFull(tComNotify h) { fOnDataFull = std::move(h); }
  void setOnConnect(tComNotify h) { fOnConnect = std::move(h); }

  // Runs on the main thread for each batch of events the event task saw.
  void ThreadCallBack(std::uint32_t eventmask);

  bool IsOpen() const { return hFile != kInvalidCommHandle; }
  CommHandle Handle() const { return hFile; }
  MainLoop& Loop() const { return loop_; }
  CommApi& Comm() const { return comm_; }

  // The device name OpenLine uses for a port index: "COM1:" to "COM9:", or
  // empty for an index that names no port.
  static std::string DeviceName(tPort port);

 private:
  // Hands the line what an earlier xmit could not place yet; false while some
  // of it is still waiting.
  bool FlushPending();

  MainLoop& loop_;
  CommApi& comm_;
  CommHandle hFile = kInvalidCommHandle;
  int recv_error_ = 0;
  tStopBits fSB = sb_10;
  tDataBits fDB = db_8;
  tBaudRate fBD = b__38400;
  tParity fPr = p_None;
  tPort fCP = Com2;
  std::uint32_t fOB = 0;
  tonDataAvail fOnDataAvail;
  tComNotify fOnRing;
  tComNotify fOnConnect;
  tComNotify fOnDataFull;  // declared for callers; the line never raises it
  CommTimeouts fTimeOuts{kCommMaxDword, 0, 0, 0, 0};
  // Bytes of writes the line had no room for at once; they still go out, in
  // order, ahead of anything written later.
  std::vector<std::uint8_t> pending_;
};

}  // namespace tarvina
