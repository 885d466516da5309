#include "serial/CPort.h"

#include <vector>

#include "platform/Comm.h"
#include "platform/MainLoop.h"
#include "platform/ScopeGuard.h"
#include "serial/CPortThread.h"

namespace tarvina {

namespace {

const char* const kComErrorMessages[] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
    "Port Not Open",
};
constexpr int kComErrorCount = sizeof kComErrorMessages / sizeof kComErrorMessages[0];

std::string ComErrorText(int code, int win_code) {
  std::string text = ComErrorMessage(code);
  if (win_code > 0) text += " (Error: " + std::to_string(win_code) + ")";
  return text;
}

std::uint32_t BaudRateValue(TBaudRate rate, int custom) {
  static const std::uint32_t kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                         14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  if (rate == TBaudRate::brCustom) return static_cast<std::uint32_t>(custom);
  return kRates[static_cast<int>(rate)];
}

// -1 stands for the platform's maximum.
std::uint32_t TimeoutValue(int ms) { return ms == -1 ? kCommMaxDword : static_cast<std::uint32_t>(ms); }

// Stores a changed value; tells whether it changed.
template <class T>
bool Change(T& field, T value) {
  if (field == value) return false;
  field = value;
  return true;
}

}  // namespace

const char* ComErrorMessage(int code) {
  if (code < 1 || code > kComErrorCount) return "";
  return kComErrorMessages[code - 1];
}

EComPort::EComPort(int code, int win_code)
    : std::runtime_error(ComErrorText(code, win_code)), code_(code), win_code_(win_code > 0 ? win_code : -1) {}

// --- companions ---

void TComParity::SetBits(TParityBits v) {
  if (Change(FBits, v)) port_->ApplyDCB();
}
void TComParity::SetCheck(bool v) {
  if (Change(FCheck, v)) port_->ApplyDCB();
}
void TComParity::SetReplace(bool v) {
  if (Change(FReplace, v)) port_->ApplyDCB();
}
void TComParity::SetReplaceChar(char v) {
  if (Change(FReplaceChar, v)) port_->ApplyDCB();
}

TFlowControl TComFlowControl::FlowControl() const {
  const bool rts_off = FControlRTS == TRTSFlowControl::rtsDisable;
  if (FControlRTS == TRTSFlowControl::rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
    return TFlowControl::fcHardware;
  if (FXonXoffIn && FXonXoffOut && rts_off && !FOutCTSFlow) return TFlowControl::fcSoftware;
  if (rts_off && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return TFlowControl::fcNone;
  return TFlowControl::fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
  if (v == TFlowControl::fcCustom) return;
  TRTSFlowControl rts = TRTSFlowControl::rtsDisable;
  bool cts = false, xon = false;
  if (v == TFlowControl::fcHardware) {
    rts = TRTSFlowControl::rtsHandshake;
    cts = true;
  } else if (v == TFlowControl::fcSoftware) {
    xon = true;
  }
  bool changed = Change(FControlRTS, rts);
  changed = Change(FOutCTSFlow, cts) || changed;
  changed = Change(FXonXoffIn, xon) || changed;
  changed = Change(FXonXoffOut, xon) || changed;
  if (changed) port_->ApplyDCB();
}

void TComFlowControl::SetOutCTSFlow(bool v) {
  if (Change(FOutCTSFlow, v)) port_->ApplyDCB();
}
void TComFlowControl::SetOutDSRFlow(bool v) {
  if (Change(FOutDSRFlow, v)) port_->ApplyDCB();
}
void TComFlowControl::SetControlDTR(TDTRFlowControl v) {
  if (Change(FControlDTR, v)) port_->ApplyDCB();
}
void TComFlowControl::SetControlRTS(TRTSFlowControl v) {
  if (Change(FControlRTS, v)) port_->ApplyDCB();
}
void TComFlowControl::SetXonXoffOut(bool v) {
  if (Change(FXonXoffOut, v)) port_->ApplyDCB();
}
void TComFlowControl::SetXonXoffIn(bool v) {
  if (Change(FXonXoffIn, v)) port_->ApplyDCB();
}
void TComFlowControl::SetDSRSensitivity(bool v) {
  if (Change(FDSRSensitivity, v)) port_->ApplyDCB();
}
void TComFlowControl::SetTxContinueOnXoff(bool v) {
  if (Change(FTxContinueOnXoff, v)) port_->ApplyDCB();
}
void TComFlowControl::SetXonChar(char v) {
  if (Change(FXonChar, v)) port_->ApplyDCB();
}
void TComFlowControl::SetXoffChar(char v) {
  if (Change(FXoffChar, v)) port_->ApplyDCB();
}

void TComTimeouts::SetReadInterval(int v) {
  if (Change(FReadInterval, v)) port_->ApplyTimeouts();
}
void TComTimeouts::SetReadTotalMultiplier(int v) {
  if (Change(FReadTotalM, v)) port_->ApplyTimeouts();
}
void TComTimeouts::SetReadTotalConstant(int v) {
  if (Change(FReadTotalC, v)) port_->ApplyTimeouts();
}
void TComTimeouts::SetWriteTotalMultiplier(int v) {
  if (Change(FWriteTotalM, v)) port_->ApplyTimeouts();
}
void TComTimeouts::SetWriteTotalConstant(int v) {
  if (Change(FWriteTotalC, v)) port_->ApplyTimeouts();
}

// The platform wants even queue sizes: an odd one loses its last byte.
void TComBuffer::SetInputSize(int v) {
  if (v > 0 && v % 2 == 1) --v;
  if (Change(FInputSize, v)) port_->ApplyBuffer();
}
void TComBuffer::SetOutputSize(int v) {
  if (v > 0 && v % 2 == 1) --v;
  if (Change(FOutputSize, v)) port_->ApplyBuffer();
}

// --- the port ---

TCustomComPort::TCustomComPort(MainLoop& loop, CommApi& comm) : loop_(loop), comm_(comm) {}

TCustomComPort::~TCustomComPort() {
  try {
    Close();
  } catch (...) {
  }
  // Close gives up when its purge fails and leaves the port open; freeing it
  // must still end the thread that refers to it and release the handle.
  FEventThread.reset();
  FThreadCreated = false;
  if (FHandle != kInvalidCommHandle) DestroyHandle();
  FConnected = false;
  JoinRetiredThreads(true);
}

void TCustomComPort::StopEventThread() {
  if (!FThreadCreated) return;
  FThreadCreated = false;
  if (!FEventThread->Delivering()) {
    FEventThread.reset();
    return;
  }
  // Close from inside one of the thread's own deliveries: the thread waits
  // for the very call we are in, so waiting for it here would never end. It
  // is told to leave without touching the handle again and joined later.
  FEventThread->Stop();
  FEventThread->Release();
  FRetiredThreads.push_back(std::move(FEventThread));
}

void TCustomComPort::JoinRetiredThreads(bool all) {
  std::erase_if(FRetiredThreads, [all](const std::unique_ptr<TComThread>& t) { return all || t->Ended(); });
}

void TCustomComPort::BeginUpdate() { ++FUpdateCount; }

void TCustomComPort::EndUpdate() {
  if (FUpdateCount == 0) return;
  if (--FUpdateCount == 0) SetupComPort();
}

void TCustomComPort::CreateHandle() {
  int error = 0;
  CommHandle h = comm_.Open(FPort, &error);
  if (h == kInvalidCommHandle) throw EComPort(CError_OpenFailed, error);
  FHandle = h;
}

void TCustomComPort::DestroyHandle() {
  if (FHandle != kInvalidCommHandle) comm_.Close(FHandle);
  FHandle = kInvalidCommHandle;
}

void TCustomComPort::SetupComPort() {
  ApplyBuffer();
  ApplyDCB();
  ApplyTimeouts();
}

void TCustomComPort::Open() {
  if (FConnected) return;
  JoinRetiredThreads(false);
  DoBeforeOpen();
  CreateHandle();
  FConnected = true;
  {
    ScopeGuard undo_open([this] {
      DestroyHandle();
      FConnected = false;
    });
    SetupComPort();
    undo_open.Dismiss();
  }
  // Every mode delivers on the main thread: the window-synchronised mode has
  // no window of its own here, and the loop's hand-off serves both.
  if (FEvents != 0) {
    FEventThread = std::make_unique<TComThread>(*this);
    FThreadCreated = true;
  }
  CallAfterOpen();
}

void TCustomComPort::Close() {
  if (!FConnected || FClosing) return;
  {
    FClosing = true;
    ScopeGuard closing_done([this] { FClosing = false; });
    CallBeforeClose();
    AbortAllAsync();
    StopEventThread();
    DestroyHandle();
    FConnected = false;
  }
  DoAfterClose();
}

void TCustomComPort::SetConnected(bool v) {
  if (v && !FConnected) Open();
  if (!v && FConnected) Close();
}

int TCustomComPort::Write(const void* buffer, int count) {
  if (FHandle == kInvalidCommHandle) throw EComPort(CError_PortNotOpen);
  if (count <= 0) return 0;
  std::uint32_t written = 0;
  int rc = comm_.Write(FHandle, buffer, static_cast<std::uint32_t>(count), &written);
  if (rc != 0) throw EComPort(CError_WriteFailed, rc);
  return static_cast<int>(written);
}

int TCustomComPort::Read(void* buffer, int count) {
  if (FHandle == kInvalidCommHandle) throw EComPort(CError_PortNotOpen);
  if (count <= 0) return 0;
  std::uint32_t got = 0;
  int rc = comm_.Read(FHandle, buffer, static_cast<std::uint32_t>(count), &got);
  if (rc != 0) throw EComPort(CError_ReadFailed, rc);
  return static_cast<int>(got);
}

int TCustomComPort::InputCount() {
  std::uint32_t errors = 0;
  CommStat stat;
  int rc = comm_.ClearCommError(FHandle, &errors, &stat);
  if (rc != 0) throw EComPort(CError_ClearComFailed, rc);
  return static_cast<int>(stat.cbInQue);
}

void TCustomComPort::ClearBuffer(bool input, bool output) {
  std::uint32_t flags = (input ? PURGE_RXCLEAR : 0) | (output ? PURGE_TXCLEAR : 0);
  int rc = comm_.PurgeComm(FHandle, flags);
  if (rc != 0) throw EComPort(CError_PurgeFailed, rc);
}

void TCustomComPort::AbortAllAsync() {
  int rc = comm_.PurgeComm(FHandle, PURGE_TXABORT | PURGE_RXABORT);
  if (rc != 0) throw EComPort(CError_PurgeFailed, rc);
}

void TCustomComPort::SetPort(const std::string& name) {
  if (name == FPort) return;
  FPort = name;
  if (FConnected) {
    Close();
    Open();
  }
}

void TCustomComPort::SetBaudRate(TBaudRate v) {
  if (Change(FBaudRate, v)) ApplyDCB();
}
void TCustomComPort::SetCustomBaudRate(int v) {
  if (Change(FCustomBaudRate, v)) ApplyDCB();
}
void TCustomComPort::SetStopBits(TStopBits v) {
  if (Change(FStopBits, v)) ApplyDCB();
}
void TCustomComPort::SetDataBits(TDataBits v) {
  if (Change(FDataBits, v)) ApplyDCB();
}
void TCustomComPort::SetDiscardNull(bool v) {
  if (Change(FDiscardNull, v)) ApplyDCB();
}
void TCustomComPort::SetEventChar(char16_t v) {
  if (Change(FEventChar, v)) ApplyDCB();
}

void TCustomComPort::SetSyncMethod(TSyncMethod v) {
  if (v == FSyncMethod) return;
  if (FConnected) throw EComPort(CError_ConnChangeProp);
  FSyncMethod = v;
}

void TCustomComPort::SetParity(const TComParity& v) {
  FParity.FBits = v.FBits;
  FParity.FCheck = v.FCheck;
  FParity.FReplace = v.FReplace;
  FParity.FReplaceChar = v.FReplaceChar;
  ApplyDCB();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& v) {
  TCustomComPort* owner = FFlowControl.port_;
  FFlowControl = v;
  FFlowControl.port_ = owner;
  ApplyDCB();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& v) {
  TCustomComPort* owner = FTimeouts.port_;
  FTimeouts = v;
  FTimeouts.port_ = owner;
  ApplyTimeouts();
}

void TCustomComPort::SetBuffer(const TComBuffer& v) {
  FBuffer.FInputSize = v.FInputSize;
  FBuffer.FOutputSize = v.FOutputSize;
  ApplyBuffer();
}

void TCustomComPort::ApplyBuffer() {
  if (!CanApply()) return;
  int rc = comm_.SetupComm(FHandle, static_cast<std::uint32_t>(FBuffer.FInputSize),
                           static_cast<std::uint32_t>(FBuffer.FOutputSize));
  if (rc != 0) throw EComPort(CError_SetupComFailed, rc);
}

void TCustomComPort::ApplyTimeouts() {
  if (!CanApply()) return;
  CommTimeouts t;
  t.ReadIntervalTimeout = TimeoutValue(FTimeouts.FReadInterval);
  t.ReadTotalTimeoutMultiplier = TimeoutValue(FTimeouts.FReadTotalM);
  t.ReadTotalTimeoutConstant = TimeoutValue(FTimeouts.FReadTotalC);
  t.WriteTotalTimeoutMultiplier = TimeoutValue(FTimeouts.FWriteTotalM);
  t.WriteTotalTimeoutConstant = TimeoutValue(FTimeouts.FWriteTotalC);
  int rc = comm_.SetCommTimeouts(FHandle, t);
  if (rc != 0) throw EComPort(CError_TimeoutsFailed, rc);
}

void TCustomComPort::ApplyDCB() {
  if (!CanApply()) return;
  static const std::uint32_t kDtr[] = {0, kDcbDtrEnable, kDcbDtrHandshake};
  static const std::uint32_t kRts[] = {0, kDcbRtsEnable, kDcbRtsHandshake, kDcbRtsToggle};
  const TComFlowControl& fc = FFlowControl;
  CommState s;
  s.DCBlength = 28;
  s.BaudRate = BaudRateValue(FBaudRate, FCustomBaudRate);
  s.ByteSize = static_cast<std::uint8_t>(5 + static_cast<int>(FDataBits));
  s.Parity = static_cast<std::uint8_t>(FParity.FBits);
  s.StopBits = static_cast<std::uint8_t>(FStopBits);
  s.XonLim = static_cast<std::uint16_t>(FBuffer.FInputSize / 4);
  s.XoffLim = s.XonLim;
  s.XonChar = fc.FXonChar;
  s.XoffChar = fc.FXoffChar;
  s.EvtChar = static_cast<char>(FEventChar & 0xFF);
  s.Flags = kDcbBinary;
  if (FDiscardNull) s.Flags |= kDcbNull;
  if (fc.FOutCTSFlow) s.Flags |= kDcbOutxCtsFlow;
  if (fc.FOutDSRFlow) s.Flags |= kDcbOutxDsrFlow;
  s.Flags |= kDtr[static_cast<int>(fc.FControlDTR)];
  s.Flags |= kRts[static_cast<int>(fc.FControlRTS)];
  if (fc.FXonXoffOut) s.Flags |= kDcbOutX;
  if (fc.FXonXoffIn) s.Flags |= kDcbInX;
  if (fc.FDSRSensitivity) s.Flags |= kDcbDsrSensitivity;
  if (fc.FTxContinueOnXoff) s.Flags |= kDcbTxContinueOnXoff;
  if (FParity.FCheck) {
    s.Flags |= kDcbParity;
    if (FParity.FReplace) {
      s.Flags |= kDcbErrorChar;
      s.ErrorChar = FParity.FReplaceChar;
    }
  }
  int rc = comm_.SetCommState(FHandle, s);
  if (rc != 0) throw EComPort(CError_SetStateFailed, rc);
}

// --- notifications ---

void TCustomComPort::DoAfterClose() {
  if (OnAfterClose) OnAfterClose(*this);
}
void TCustomComPort::DoAfterOpen() {
  if (OnAfterOpen) OnAfterOpen(*this);
}
void TCustomComPort::DoBeforeClose() {
  if (OnBeforeClose) OnBeforeClose(*this);
}
void TCustomComPort::DoBeforeOpen() {
  if (OnBeforeOpen) OnBeforeOpen(*this);
}
void TCustomComPort::DoRxChar(int count) {
  if (OnRxChar) OnRxChar(*this, count);
}
void TCustomComPort::DoTxEmpty() {
  if (OnTxEmpty) OnTxEmpty(*this);
}
void TCustomComPort::DoBreak() {
  if (OnBreak) OnBreak(*this);
}
void TCustomComPort::DoRing() {
  if (OnRing) OnRing(*this);
}
void TCustomComPort::DoRxFlag() {
  if (OnRxFlag) OnRxFlag(*this);
}
void TCustomComPort::DoCTSChange(bool on) {
  if (OnCTSChange) OnCTSChange(*this, on);
}
void TCustomComPort::DoDSRChange(bool on) {
  if (OnDSRChange) OnDSRChange(*this, on);
}
void TCustomComPort::DoError(std::uint32_t errors) {
  if (OnError) OnError(*this, errors);
}
void TCustomComPort::DoRLSDChange(bool on) {
  if (OnRLSDChange) OnRLSDChange(*this, on);
}
void TCustomComPort::DoRx80Full() {
  if (OnRx80Full) OnRx80Full(*this);
}

void TCustomComPort::CallError() {
  std::uint32_t errors = 0;
  int rc = comm_.ClearCommError(FHandle, &errors, nullptr);
  if (rc != 0) throw EComPort(CError_ClearComFailed, rc);
  if (errors != 0) DoError(errors);
}

void TCustomComPort::CallRxChar() {
  // Bytes that arrive after this count stay queued for the next notification.
  int count = InputCount();
  if (count > 0) DoRxChar(count);
}

void TCustomComPort::CallModemChange(std::uint32_t line) {
  std::uint32_t status = 0;
  int rc = comm_.GetCommModemStatus(FHandle, &status);
  if (rc != 0) throw EComPort(CError_ModemStatFailed, rc);
  const bool on = (status & line) != 0;
  if (line == MS_CTS_ON) DoCTSChange(on);
  if (line == MS_DSR_ON) DoDSRChange(on);
  if (line == MS_RLSD_ON) DoRLSDChange(on);
}

void TCustomComPort::CallAfterOpen() {
  DoAfterOpen();
  CallModemChange(MS_CTS_ON);
  CallModemChange(MS_DSR_ON);
  CallModemChange(MS_RLSD_ON);
}

void TCustomComPort::CallBeforeClose() {
  DoCTSChange(false);
  DoDSRChange(false);
  DoRLSDChange(false);
  DoBeforeClose();
}

void TCustomComPort::DoEvents(TComEvents events) {
  // A handler may close the port; the batch's other steps then have no line.
  auto has = [&](TComEvent e) { return FConnected && (events & ComEventBit(e)) != 0; };
  if (has(TComEvent::evError)) CallError();
  if (has(TComEvent::evRxChar)) CallRxChar();
  if (has(TComEvent::evTxEmpty)) DoTxEmpty();
  if (has(TComEvent::evBreak)) DoBreak();
  if (has(TComEvent::evRing)) DoRing();
  if (has(TComEvent::evCTS)) CallModemChange(MS_CTS_ON);
  if (has(TComEvent::evDSR)) CallModemChange(MS_DSR_ON);
  if (has(TComEvent::evRxFlag)) DoRxFlag();
  if (has(TComEvent::evRLSD)) CallModemChange(MS_RLSD_ON);
  if (has(TComEvent::evRx80Full)) DoRx80Full();
}

bool TComPort::OpenAsTerminalLine(int number, TBaudRate baud, TDataBits data_bits, TParityBits parity) {
  BeginUpdate();
  SetPort("COM" + std::to_string(number));
  SetStopBits(TStopBits::sbOneStopBit);
  SetBaudRate(baud);
  SetDataBits(data_bits);
  FParity.SetBits(parity);
  FFlowControl.SetFlowControl(TFlowControl::fcNone);
  EndUpdate();
  try {
    Open();
  } catch (...) {
  }
  return Connected();
}

}  // namespace tarvina
