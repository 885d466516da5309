#include "server/DispatchBRD.h"

#include <array>
#include <climits>

#include "platform/MainLoop.h"
#include "serial/CPort.h"
#include "server/DispatchRun.h"
#include "server/MainSrv.h"
#include "terminals/PosBRD/PosBRD.h"

namespace tarvina {

namespace {

constexpr Millis kAfterRequestMs = 100;
constexpr Millis kPollMs = 1;
const std::string kSaleSeqNumber = "0001";

// Whole seconds of a monotonic clock between two readings: the count steps
// when the clock passes a second, as the seconds of a wall clock would, but
// it keeps going across midnight and in virtual time.
int WholeSeconds(Millis from, Millis to) {
  auto second = [](Millis t) { return t >= 0 ? t / 1000 : -((-t + 999) / 1000); };
  return static_cast<int>(second(to) - second(from));
}

}  // namespace

void RuleazaTranzactieBRD(MainLoop& loop, TPosBRD& pos, int comPort, double suma, const bool& stop,
                          bool& procesOK, std::string& errorMsg) {
  Clock& clock = loop.clock();
  tComPort& line = pos.ComPort;

  line.closeLine();
  line.setCP(static_cast<tPort>(comPort > INT_MIN ? comPort - 1 : INT_MIN));
  line.setBD(b___9600);
  line.setDB(db_8);
  line.setSB(sb_10);
  line.setPr(p_None);
  // A line that did not open does not stop the sale: the request goes
  // nowhere and the missing acknowledgement reports it.
  const int ResOpen = line.OpenLine();

  // The record's defaults are already a printed sale (TransType "01",
  // PrintFlg "1"); only the sequence number and the amount are this sale's.
  TWriteMsg msg;
  pos.InitWriteMsg(msg);
  msg.SeqNumber = kSaleSeqNumber;
  msg.TransAmount1 = brd::AmountField(suma);
  pos.PutRecMsgInBuffer(msg);
  pos.WriteToPOS();
  clock.SleepMs(kAfterRequestMs);

  pos.GolesteRecvBuff();
  pos.Dif = 0;
  const Millis start = clock.NowMs();
  std::array<std::uint8_t, brd::kBufferSize> Buff;
  for (;;) {
    loop.ProcessMessages();
    clock.SleepMs(kPollMs);
    Buff.fill(0);
    const int got = line.recv(Buff.data(), static_cast<std::uint16_t>(Buff.size()));
    // A read that fails on an open line is a device that went away (cable or
    // adapter pulled): after the acknowledgement nothing else would end this
    // wait, so the sale ends with the read's error, as the other kinds' do.
    if (got == -1) throw EComPort(CError_ReadFailed, line.RecvError());
    if (got > 0) pos.AdaugaOctetiPrimiti(Buff.data(), static_cast<std::size_t>(got));
    pos.Dif = WholeSeconds(start, clock.NowMs());
    if (stop || pos.notAckPrimit() || pos.MesajCoerentPrimit()) break;
  }

  if (pos.notAckPrimit()) {
    procesOK = false;
    errorMsg = "Eroare de comunicatie seriala.  ";
    errorMsg += ResOpen < 0 ? "Nu pot deschide portul COM" + std::to_string(comPort)
                            : std::string("Nu primesc nici un mesaj de la POS ");
  } else if (pos.TipMesajPrimit == "22000000") {
    procesOK = false;
    errorMsg = pos.MesajEroare;
  } else if (pos.TipMesajPrimit == "10") {
    if (pos.TranzactieAcceptata) {
      procesOK = true;
    } else {
      procesOK = false;
      errorMsg = pos.MesajEroare;
    }
  }
}

// The sale's driver lives in the BRD slot until DoProcesare frees it, which
// closes its line.
void TEmain::TranzactieBRD() {
  auto& pos = PutInSlot(aPosBRD, std::make_unique<TPosBRD>(services.loop, services.comm));
  RuleazaTranzactieBRD(services.loop, pos, Cerere.ComPortRS232, Cerere.FSuma, InchidereFortata, ProcesOK,
                       Cerere.ErrorMsg);
}

}  // namespace tarvina
