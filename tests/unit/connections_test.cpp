// What a connection's thread does before the main thread sees anything:
// packets out of the byte stream and their limit in bytes received; who may
// connect; the listener's keys in Tarvina.ini.
#include <gtest/gtest.h>
#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/TcpServer.h"
#include "server/Config.h"
#include "server/Packets.h"

namespace tarvina {
namespace {

using Packets = std::vector<std::vector<std::string>>;

// Feeds the bytes in chunks of `chunk` (0: at once); the packets, and whether
// the connection stays open.
std::pair<Packets, bool> Assemble(const std::string& bytes, std::size_t chunk = 0) {
  PacketAssembler a;
  Packets out;
  bool open = true;
  const std::size_t step = chunk ? chunk : std::max<std::size_t>(bytes.size(), 1);
  for (std::size_t i = 0; i < bytes.size(); i += step)
    open = a.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data() + i), std::min(step, bytes.size() - i), out);
  return {out, open};
}

TEST(PacketAssembler, HandsOverWholePacketsAlikeWhateverTheChunking) {
  const std::string bytes = "STOP\r\n[ENDPACHET]\r\n[InfoPachet]\nSuma=1\xE9\r2\r\n[endpachet]\nrest";
  const Packets expected = {{"STOP", "[ENDPACHET]"}, {"[InfoPachet]", "Suma=1\xEF\xBF\xBD\r2", "[endpachet]"}};
  for (std::size_t chunk : {0, 1, 3, 7}) {
    const auto [packets, open] = Assemble(bytes, chunk);
    EXPECT_EQ(packets, expected) << chunk;
    EXPECT_TRUE(open) << chunk;
  }
}

// The limit counts what came on the wire: CRs and LFs count, a byte above
// 0x7F counts once (three bytes decoded).
TEST(PacketAssembler, LimitCountsBytesReceived) {
  const std::string end = "[ENDPACHET]\n";  // 12 bytes
  const std::size_t room = kMaxPacketBytes - end.size();
  std::string crlf;  // empty lines of two bytes each: one byte more than the room
  for (std::size_t i = 0; i < room / 2 + 1; ++i) crlf += "\r\n";
  std::string wide;  // lines of 0xE9 bytes filling the room exactly
  while (wide.size() + 10001 <= room) wide += std::string(10000, '\xE9') + "\n";
  wide += std::string(room - wide.size(), '\n');
  struct Case {
    const char* name;
    std::string bytes;
    bool open;
    std::size_t packets;
  } cases[] = {
      {"one byte more", std::string(room + 1, '\n') + end, false, 0},
      {"CR LF lines count two bytes", crlf + end, false, 0},
      {"0xE9 bytes count once", wide + end, true, 1},
      {"a packet before the one too large is kept",
       "[InfoPachet]\n" + end + std::string(kMaxPacketBytes + 1, '\n'), false, 1},
      {"a packet never ended, past the limit", std::string(kMaxPacketBytes, '\n') + "x", false, 0},
  };
  for (const auto& k : cases) {
    const auto [packets, open] = Assemble(k.bytes, 4096);
    EXPECT_EQ(open, k.open) << k.name;
    EXPECT_EQ(packets.size(), k.packets) << k.name;
  }
  // Empty lines up to the limit: a packet, every empty line kept for the log.
  const auto [packets, open] = Assemble(std::string(room, '\n') + end);
  EXPECT_TRUE(open);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].size(), room + 1);
}

TEST(PacketAssembler, OverlongLineClosesAndNothingComesAfter) {
  PacketAssembler a;
  Packets out;
  const std::string bytes = "[ENDPACHET]\n" + std::string(kMaxLineBytes + 1, 'x');
  EXPECT_FALSE(a.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), out));
  EXPECT_EQ(out.size(), 1u);
  const std::string more = "[ENDPACHET]\n";
  EXPECT_FALSE(a.Feed(reinterpret_cast<const std::uint8_t*>(more.data()), more.size(), out));
  EXPECT_EQ(out.size(), 1u);
  EXPECT_EQ(a.Pending(), 0u);
}

sockaddr_storage Address(const std::string& text) {
  sockaddr_storage s{};
  auto* a4 = reinterpret_cast<sockaddr_in*>(&s);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&s);
  if (::inet_pton(AF_INET, text.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
  } else {
    EXPECT_EQ(::inet_pton(AF_INET6, text.c_str(), &a6->sin6_addr), 1) << text;
    a6->sin6_family = AF_INET6;
  }
  return s;
}

TEST(AddressFilter, AddressesAndRangesOfBothFamilies) {
  struct Case {
    const char* list;
    std::vector<std::string> allowed, refused, bad;
  } cases[] = {
      {"", {"10.1.2.3", "::1", "::ffff:192.168.0.9"}, {}, {}},
      {" , ", {"10.1.2.3"}, {}, {}},  // names nothing
      {"127.0.0.1", {"127.0.0.1", "::ffff:127.0.0.1"}, {"127.0.0.2", "::1"}, {}},
      {"192.168.1.0/24, fe80::/10",
       {"192.168.1.0", "192.168.1.255", "::ffff:192.168.1.7", "fe80::1", "febf::1"},
       {"192.168.2.1", "fec0::1", "::1"}, {}},
      {"10.0.0.0/9", {"10.127.255.255"}, {"10.128.0.0"}, {}},
      {"0.0.0.0/0", {"8.8.8.8", "::ffff:1.2.3.4"}, {"::1"}, {}},
      {"::/0", {"::1", "2001:db8::1"}, {"1.2.3.4"}, {}},
      {"::ffff:10.0.0.0/104", {"10.9.9.9", "::ffff:10.1.1.1"}, {"11.0.0.1"}, {}},
      {"10.0.0.300, 10.0.0.1/33, /8, 10.0.0.1/, 10.0.0.1/x, host.lan, 10.0.0.2",
       {"10.0.0.2"},
       {"10.0.0.1", "127.0.0.1"},
       {"10.0.0.300", "10.0.0.1/33", "/8", "10.0.0.1/", "10.0.0.1/x", "host.lan"}},
      {"nonsense", {}, {"127.0.0.1", "::1"}, {"nonsense"}},  // only bad entries: nobody
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.list);
    std::vector<std::string> bad;
    const AddressFilter f = AddressFilter::Parse(k.list, bad);
    EXPECT_EQ(bad, k.bad);
    for (const auto& a : k.allowed) {
      const auto s = Address(a);
      EXPECT_TRUE(f.Allows(reinterpret_cast<const sockaddr*>(&s))) << a;
    }
    for (const auto& a : k.refused) {
      const auto s = Address(a);
      EXPECT_FALSE(f.Allows(reinterpret_cast<const sockaddr*>(&s))) << a;
    }
  }
}

TEST(AddressText, MappedIpv4AsPlainIpv4) {
  for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"127.0.0.1", "127.0.0.1"}, {"::ffff:10.0.0.7", "10.0.0.7"}, {"::1", "::1"}, {"fe80::1:2", "fe80::1:2"}}) {
    const auto s = Address(in);
    EXPECT_EQ(AddressText(reinterpret_cast<const sockaddr*>(&s)), out);
  }
}

TEST(Config, ReadsTheListenerKeysWithDefaults) {
  struct Case {
    const char* text;
    int max_connections, idle;
    std::string bind, allow;
  } cases[] = {
      {"", 64, 300, "", ""},
      {"[Config]\nMaxConnections=5\nIdleTimeout=0\nBind=127.0.0.1\nAllowFrom=10.0.0.0/8, ::1\n", 5, 0,
       "127.0.0.1", "10.0.0.0/8, ::1"},
      {"[config]\nmaxconnections = $10\nidletimeout=30 \n", 16, 30, "", ""},
      {"[Config]\nMaxConnections=0\nIdleTimeout=-1\n", 64, 300, "", ""},
      {"[Config]\nMaxConnections=many\nIdleTimeout=1.5\n", 64, 300, "", ""},
  };
  const std::string path = ::testing::TempDir() + "tarvina_cfg_listener.ini";
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    std::ofstream(path, std::ios::binary) << k.text;
    const TConfig c = ReadConfig(path);
    EXPECT_EQ(c.MaxConnections, k.max_connections);
    EXPECT_EQ(c.IdleTimeout, k.idle);
    EXPECT_EQ(c.Bind, k.bind);
    EXPECT_EQ(c.AllowFrom, k.allow);
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarvina
