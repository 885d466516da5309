// Reply bytes from a Viva Wallet terminal through everything the driver does
// with them, and the same bytes as a receipt number through the cancellation
// record. Aborts when a result breaks what the driver relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "terminals/VivaWalletIntf/VivaFrames.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvina;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  VivaReplyStatus(bytes);
  const std::string text = VivaReplyText(bytes);
  Check(text.find('\0') == std::string::npos);
  const auto fields = VivaSplit(text);
  Check(VivaFieldsLine(fields) == (text.empty() ? "" : text + "|"));
  const VivaVerdict v = JudgeVivaReply(fields);
  Check(v.ok == (fields.size() >= 5 && fields[4] == "00"));
  Check(v.idTranzactie.empty() || fields.size() >= 30);
  Check(v.dataTranzactie.empty() || fields.size() >= 31);
  Check(!v.ok || v.mesajEroare.empty());

  const std::string line = VivaLine(MakeVivaCancel(12.34, bytes));
  for (char c : line) Check(static_cast<unsigned char>(c) < 0x80);
  const std::size_t bar = line.find('|');
  Check(bar >= 4 && bar != std::string::npos);
  Check(std::stoul(line.substr(0, bar)) + 1 == line.size() - bar);
  return 0;
}
