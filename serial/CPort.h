#pragma once
// The serial port component of the Transilvania, UniCredit, BRD Hypercom and
// Verifone drivers: opens a named port, applies line settings, queue sizes and
// time-outs, and runs one event thread per open port whose OnRxChar always
// runs on the main thread. Writes and reads are synchronous for the caller.
// Failures are raised as EComPort.
//
// The drivers use, in this order: the constructor, OnRxChar, SetDiscardNull,
// BeginUpdate / SetPort / SetStopBits / SetBaudRate / SetDataBits /
// Parity().SetBits / FlowControl().SetFlowControl / EndUpdate, Open, Write,
// Read (inside OnRxChar), Connected, Close.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvina {

class MainLoop;
class CommApi;  // platform/Comm.h
class TComThread;

enum class TBaudRate {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
  br38400, br56000, br57600, br115200, br128000, br256000
};
enum class TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum class TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum class TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum class TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum class TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum class TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum class TComEvent { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };
// A set of TComEvent, bit (1 << member).
using TComEvents = std::uint32_t;
constexpr TComEvents ComEventBit(TComEvent e) { return 1u << static_cast<unsigned>(e); }
constexpr TComEvents kAllComEvents = (1u << 10) - 1;
enum class TSyncMethod { smThreadSync, smWindowSync, smNone };

// The failure codes of EComPort (1 to 24).
enum {
  CError_OpenFailed = 1, CError_WriteFailed, CError_ReadFailed, CError_InvalidAsync, CError_PurgeFailed,
  CError_AsyncCheck, CError_SetStateFailed, CError_TimeoutsFailed, CError_SetupComFailed,
  CError_ClearComFailed, CError_ModemStatFailed, CError_EscapeComFailed, CError_TransmitFailed,
  CError_ConnChangeProp, CError_EnumPortsFailed, CError_StoreFailed, CError_LoadFailed, CError_RegFailed,
  CError_LedStateFailed, CError_ThreadCreated, CError_WaitFailed, CError_HasLink, CError_RegError,
  CError_PortNotOpen
};

// The text of a failure code; empty for a number that is none.
const char* ComErrorMessage(int code);

class EComPort : public std::runtime_error {
 public:
  // win_code > 0 appends " (Error: N)" to the code's text; otherwise WinCode() is -1.
  EComPort(int code, int win_code = -1);
  int Code() const { return code_; }
  int WinCode() const { return win_code_; }

 private:
  int code_;
  int win_code_;
};

class TCustomComPort;

class TComParity {
 public:
  explicit TComParity(TCustomComPort* port) : port_(port) {}
  TParityBits Bits() const { return FBits; }
  void SetBits(TParityBits v);
  bool Check() const { return FCheck; }
  void SetCheck(bool v);
  bool Replace() const { return FReplace; }
  void SetReplace(bool v);
  char ReplaceChar() const { return FReplaceChar; }
  void SetReplaceChar(char v);

 private:
  friend class TCustomComPort;
  TCustomComPort* port_;
  TParityBits FBits = TParityBits::prNone;
  bool FCheck = false;
  bool FReplace = false;
  char FReplaceChar = 0;
};

class TComFlowControl {
 public:
  explicit TComFlowControl(TCustomComPort* port) : port_(port) {}
  TFlowControl FlowControl() const;
  void SetFlowControl(TFlowControl v);
  bool OutCTSFlow() const { return FOutCTSFlow; }
  void SetOutCTSFlow(bool v);
  bool OutDSRFlow() const { return FOutDSRFlow; }
  void SetOutDSRFlow(bool v);
  TDTRFlowControl ControlDTR() const { return FControlDTR; }
  void SetControlDTR(TDTRFlowControl v);
  TRTSFlowControl ControlRTS() const { return FControlRTS; }
  void SetControlRTS(TRTSFlowControl v);
  bool XonXoffOut() const { return FXonXoffOut; }
  void SetXonXoffOut(bool v);
  bool XonXoffIn() const { return FXonXoffIn; }
  void SetXonXoffIn(bool v);
  bool DSRSensitivity() const { return FDSRSensitivity; }
  void SetDSRSensitivity(bool v);
  bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
  void SetTxContinueOnXoff(bool v);
  char XonChar() const { return FXonChar; }
  void SetXonChar(char v);
  char XoffChar() const { return FXoffChar; }
  void SetXoffChar(char v);

 private:
  friend class TCustomComPort;
  TCustomComPort* port_;
  bool FOutCTSFlow = false, FOutDSRFlow = false;
  TDTRFlowControl FControlDTR = TDTRFlowControl::dtrDisable;
  TRTSFlowControl FControlRTS = TRTSFlowControl::rtsDisable;
  bool FXonXoffOut = false, FXonXoffIn = false, FDSRSensitivity = false, FTxContinueOnXoff = false;
  char FXonChar = 17, FXoffChar = 19;
};

class TComTimeouts {
 public:
  explicit TComTimeouts(TCustomComPort* port) : port_(port) {}
  int ReadInterval() const { return FReadInterval; }
  void SetReadInterval(int v);
  int ReadTotalMultiplier() const { return FReadTotalM; }
  void SetReadTotalMultiplier(int v);
  int ReadTotalConstant() const { return FReadTotalC; }
  void SetReadTotalConstant(int v);
  int WriteTotalMultiplier() const { return FWriteTotalM; }
  void SetWriteTotalMultiplier(int v);
  int WriteTotalConstant() const { return FWriteTotalC; }
  void SetWriteTotalConstant(int v);

 private:
  friend class TCustomComPort;
  TCustomComPort* port_;
  int FReadInterval = -1, FReadTotalM = 0, FReadTotalC = 0, FWriteTotalM = 100, FWriteTotalC = 1000;
};

class TComBuffer {
 public:
  explicit TComBuffer(TCustomComPort* port) : port_(port) {}
  int InputSize() const { return FInputSize; }
  void SetInputSize(int v);
  int OutputSize() const { return FOutputSize; }
  void SetOutputSize(int v);

 private:
  friend class TCustomComPort;
  TCustomComPort* port_;
  int FInputSize = 1024, FOutputSize = 1024;
};

class TCustomComPort {
 public:
  using TRxCharEvent = std::function<void(TCustomComPort& sender, int count)>;

  // `loop` runs the deliveries; `comm` is the platform's communications layer.
  TCustomComPort(MainLoop& loop, CommApi& comm);
  virtual ~TCustomComPort();
  TCustomComPort(const TCustomComPort&) = delete;
  TCustomComPort& operator=(const TCustomComPort&) = delete;

  void BeginUpdate();
  void EndUpdate();
  void Open();
  void Close();
  bool Connected() const { return FConnected; }
  void SetConnected(bool v);

  int Write(const void* buffer, int count);
  int Read(void* buffer, int count);
  int InputCount();
  void ClearBuffer(bool input, bool output);
  void AbortAllAsync();

  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& name);
  TBaudRate BaudRate() const { return FBaudRate; }
  void SetBaudRate(TBaudRate v);
  int CustomBaudRate() const { return FCustomBaudRate; }
  void SetCustomBaudRate(int v);
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits v);
  TDataBits DataBits() const { return FDataBits; }
  void SetDataBits(TDataBits v);
  bool DiscardNull() const { return FDiscardNull; }
  void SetDiscardNull(bool v);
  char16_t EventChar() const { return FEventChar; }
  void SetEventChar(char16_t v);
  TComEvents Events() const { return FEvents; }
  void SetEvents(TComEvents v) { FEvents = v; }
  TSyncMethod SyncMethod() const { return FSyncMethod; }
  void SetSyncMethod(TSyncMethod v);
  bool TriggersOnRxChar() const { return FTriggersOnRxChar && !FHasLink; }

  TComParity& Parity() { return FParity; }
  TComFlowControl& FlowControl() { return FFlowControl; }
  TComTimeouts& Timeouts() { return FTimeouts; }
  TComBuffer& Buffer() { return FBuffer; }
  // Whole-group assignment: copies the fields and re-applies the group.
  void SetParity(const TComParity& v);
  void SetFlowControl(const TComFlowControl& v);
  void SetTimeouts(const TComTimeouts& v);
  void SetBuffer(const TComBuffer& v);

  TRxCharEvent OnRxChar;
  // errors: the CE_ flags of platform/Comm.h that were set.
  std::function<void(TCustomComPort&, std::uint32_t errors)> OnError;
  std::function<void(TCustomComPort&)> OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
  std::function<void(TCustomComPort&, bool)> OnCTSChange, OnDSRChange, OnRLSDChange;
  std::function<void(TCustomComPort&)> OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;

  MainLoop& Loop() const { return loop_; }
  CommApi& Comm() const { return comm_; }

 protected:
  friend class TComParity;
  friend class TComFlowControl;
  friend class TComTimeouts;
  friend class TComBuffer;
  friend class TComThread;

  virtual void CreateHandle();
  virtual void DestroyHandle();
  virtual void SetupComPort();
  virtual void DoAfterClose();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoBeforeOpen();
  virtual void DoRxChar(int count);
  virtual void DoTxEmpty();
  virtual void DoBreak();
  virtual void DoRing();
  virtual void DoRxFlag();
  virtual void DoCTSChange(bool on);
  virtual void DoDSRChange(bool on);
  virtual void DoError(std::uint32_t errors);
  virtual void DoRLSDChange(bool on);
  virtual void DoRx80Full();
  virtual void ApplyDCB();
  virtual void ApplyTimeouts();
  virtual void ApplyBuffer();
  // Runs on the main thread for each batch of events the event thread found.
  void DoEvents(TComEvents events);
  void CallError();
  void CallRxChar();
  void CallModemChange(std::uint32_t line);
  void CallAfterOpen();
  void CallBeforeClose();
  // The apply steps act on an open port outside BeginUpdate...EndUpdate only.
  bool CanApply() const { return FConnected && FUpdateCount == 0; }
  void StopEventThread();
  void JoinRetiredThreads(bool all);

  MainLoop& loop_;
  CommApi& comm_;
  std::unique_ptr<TComThread> FEventThread;
  bool FThreadCreated = false;
  // Threads stopped from inside their own delivery, joined once they have ended.
  std::vector<std::unique_ptr<TComThread>> FRetiredThreads;
  long FHandle = -1;  // the comm layer's handle; -1 is invalid
  bool FClosing = false;  // Close is running (a delivery inside it may call Close again)
  int FUpdateCount = 0;
  bool FTriggersOnRxChar = true;
  bool FHasLink = false;
  bool FConnected = false;
  TBaudRate FBaudRate = TBaudRate::br9600;
  int FCustomBaudRate = 9600;
  std::string FPort = "COM1";
  TStopBits FStopBits = TStopBits::sbOneStopBit;
  TDataBits FDataBits = TDataBits::dbEight;
  bool FDiscardNull = false;
  char16_t FEventChar = 0;
  TComEvents FEvents = kAllComEvents;
  TComBuffer FBuffer{this};
  TComParity FParity{this};
  TComTimeouts FTimeouts{this};
  TComFlowControl FFlowControl{this};
  TSyncMethod FSyncMethod = TSyncMethod::smThreadSync;
};

class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;

  // How every terminal driver opens its line: "COM" + number, the driver's
  // speed and framing, one stop bit, no flow control, all applied at once.
  // A port that cannot be opened is no error here: the answer is Connected().
  bool OpenAsTerminalLine(int number, TBaudRate baud, TDataBits data_bits, TParityBits parity);
};

}  // namespace tarvina
