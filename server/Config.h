#pragma once
// Tarvina.ini: read once at start, never written. [Config] Port, TimeOut and
// the listener's limits; the whole file stays readable for the other layers
// (e.g. [Serial]).
#include <cstdint>
#include <string>

#include "server/KeyStore.h"

namespace tarvina {

constexpr int kDefaultPort = 8090;
constexpr int kDefaultTimeOut = 20;
constexpr int kDefaultMaxConnections = 64;
constexpr int kDefaultIdleTimeout = 300;  // seconds

struct TConfig {
  int PortIP = kDefaultPort;          // as read; shown so in the caption
  int TimeOutLongOp = kDefaultTimeOut;  // read, and used by nothing
  // Connections open at once; one more is closed at once (1 or more).
  int MaxConnections = kDefaultMaxConnections;
  // Seconds a connection may send nothing while no operation of its own
  // runs; 0: no limit.
  int IdleTimeout = kDefaultIdleTimeout;
  std::string Bind;       // the one address to listen on; "": every local address
  std::string AllowFrom;  // addresses and CIDR ranges that may connect; "": everyone
  TKeyStore Keys;                     // every section of the file
  bool FileRead = false;

  // The listener's port: the value read, taken as a 16-bit number.
  std::uint16_t ListenPort() const { return static_cast<std::uint16_t>(PortIP); }
};

// A missing or unreadable file, or a value that is no integer text (or, for
// MaxConnections and IdleTimeout, out of their range), gives the defaults.
TConfig ReadConfig(const std::string& path);

// "Tarvina.ini" in the directory of the running program.
std::string DefaultConfigPath();

// The running program's file (from /proc/self/exe), or "" when unknown.
std::string ProgramPath();

}  // namespace tarvina
