// TComPort failures: the code and message of each, and the state it leaves.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "platform/Comm.h"
#include "tests/unit/serial_fixture.h"

namespace tarvina {
namespace {

struct FailureCase {
  const char* name;
  bool open_first;
  const char* failing_call;  // the comm call made to fail, or null
  int error;                 // its error number
  std::function<void(TComPort&)> act;
  int code;
  int win_code;
  const char* message;
  bool open_after;  // Connected, the handle held, and the event thread delivering
};

void Write2(TComPort& p) {
  const std::uint8_t b[2] = {1, 2};
  p.Write(b, 2);
}
void Read2(TComPort& p) {
  std::uint8_t b[2];
  p.Read(b, 2);
}
void Open(TComPort& p) { p.Open(); }

TEST_F(SerialPortTest, EachFailureRaisesItsCodeAndMessageAndLeavesThePortAsItShould) {
  const std::vector<FailureCase> cases = {
      {"missing device", false, "Open", ENOENT, Open, CError_OpenFailed, 2, "Unable to open com port (Error: 2)",
       false},
      {"port in use", false, "Open", EBUSY, Open, CError_OpenFailed, 16, "Unable to open com port (Error: 16)",
       false},
      {"access denied", false, "Open", EACCES, Open, CError_OpenFailed, 13, "Unable to open com port (Error: 13)",
       false},
      {"queue sizes rejected", false, "SetupComm", EINVAL, Open, CError_SetupComFailed, 22,
       "SetupComm function failed (Error: 22)", false},
      {"speed rejected", false, "SetCommState", EINVAL, Open, CError_SetStateFailed, 22,
       "SetCommState function failed (Error: 22)", false},
      {"time-outs rejected", false, "SetCommTimeouts", EINVAL, Open, CError_TimeoutsFailed, 22,
       "SetCommTimeouts failed (Error: 22)", false},
      {"modem lines unreadable at the end of Open", false, "GetCommModemStatus", EIO, Open,
       CError_ModemStatFailed, 5, "GetCommModemStatus function failed (Error: 5)", true},
      {"write on a closed port", false, nullptr, 0, Write2, CError_PortNotOpen, -1, "Port Not Open", false},
      {"read on a closed port", false, nullptr, 0, Read2, CError_PortNotOpen, -1, "Port Not Open", false},
      {"write fails", true, "Write", EIO, Write2, CError_WriteFailed, 5, "WriteFile function failed (Error: 5)",
       true},
      {"read fails", true, "Read", EIO, Read2, CError_ReadFailed, 5, "ReadFile function failed (Error: 5)", true},
      {"queue count fails", true, "ClearCommError", EIO, [](TComPort& p) { p.InputCount(); },
       CError_ClearComFailed, 5, "ClearCommError function failed (Error: 5)", true},
      {"purge fails", true, "PurgeComm", EIO, [](TComPort& p) { p.ClearBuffer(true, true); },
       CError_PurgeFailed, 5, "PurgeComm function failed (Error: 5)", true},
      {"abort fails inside Close", true, "PurgeComm", EIO, [](TComPort& p) { p.Close(); }, CError_PurgeFailed, 5,
       "PurgeComm function failed (Error: 5)", true},
      {"line settings rejected on an open port", true, "SetCommState", EINVAL,
       [](TComPort& p) { p.SetBaudRate(TBaudRate::br19200); }, CError_SetStateFailed, 22,
       "SetCommState function failed (Error: 22)", true},
      {"delivery mode changed while open", true, nullptr, 0,
       [](TComPort& p) { p.SetSyncMethod(TSyncMethod::smNone); }, CError_ConnChangeProp, -1,
       "Cannot set property while connected", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rx_total = 0;
    {
      TComPort p(loop, comm);
      p.OnRxChar = [this](TCustomComPort& sender, int count) {
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(count));
        rx_total += sender.Read(buf.data(), count);
      };
      if (c.open_first) p.Open();
      comm.ClearLog();
      if (c.failing_call) comm.FailNext(c.failing_call, c.error);
      try {
        c.act(p);
        ADD_FAILURE() << "no exception";
      } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), c.code);
        EXPECT_EQ(e.WinCode(), c.win_code);
        EXPECT_STREQ(e.what(), c.message);
      }
      EXPECT_EQ(p.Connected(), c.open_after);
      EXPECT_EQ(comm.IsOpen(), c.open_after);
      if (c.open_after) {
        comm.Deliver({7, 8, 9});
        EXPECT_TRUE(WaitFor([&] { return rx_total == 3; })) << "the event thread must still deliver";
        Write2(p);  // and the port still writes
      } else {
        EXPECT_EQ(comm.Count("SetCommMask"), 0) << "no event thread for a port that did not open";
        // A handle taken before the failure was given back.
        const bool took_handle = c.failing_call && std::string(c.failing_call) != "Open";
        EXPECT_EQ(comm.Count("Close"), took_handle ? 1 : 0);
        p.Open();  // and the port opens once the cause is gone
        EXPECT_TRUE(p.Connected());
      }
    }
    EXPECT_FALSE(comm.IsOpen()) << "freeing the port releases the line";
  }
}

TEST_F(SerialPortTest, FreeingAPortWhoseCloseKeepsFailingStillEndsItsThreadAndReleasesTheLine) {
  {
    TComPort p(loop, comm);
    p.Open();
    comm.FailNext("PurgeComm", EIO, -1);
    EXPECT_THROW(p.Close(), EComPort);
    EXPECT_TRUE(p.Connected());
  }
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(comm.Count("AbortWait"), 1);
}

TEST(EComPort, APlatformNumberOfZeroOrLessAddsNothingAndLeavesWinCodeAtMinusOne) {
  for (int win : {0, -1, -5}) {
    EComPort e(CError_OpenFailed, win);
    EXPECT_STREQ(e.what(), "Unable to open com port");
    EXPECT_EQ(e.WinCode(), -1);
  }
  EXPECT_STREQ(ComErrorMessage(0), "");
  EXPECT_STREQ(ComErrorMessage(25), "");
}

}  // namespace
}  // namespace tarvina
