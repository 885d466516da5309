#include "tests/support/FakeTcpClient.h"

#include <algorithm>

namespace tarvina {

void FakeTcpTerminal::Deliver() {
  const Millis now = clock.NowMs();
  while (!pending.empty() && pending.begin()->first <= now) {
    buffer += pending.begin()->second;
    pending.erase(pending.begin());
  }
  if (close_at >= 0 && now >= close_at) peer_closed = true;
}

FakeTcpClient::FakeTcpClient(std::shared_ptr<FakeTcpTerminal> t) : t_(std::move(t)) { ++t_->clients_alive; }

FakeTcpClient::~FakeTcpClient() {
  --t_->clients_alive;
  if (t_->connected_client == this) t_->connected_client = nullptr;
}

void FakeTcpClient::Connect(const std::string& host, int port, Millis timeout_ms) {
  Disconnect();
  t_->connects.push_back({host, port, timeout_ms});
  if (!t_->connect_error.empty()) throw TcpError(t_->connect_error);
  t_->connected_client = this;
  t_->pending.clear();
  t_->buffer.clear();
  t_->peer_closed = false;
  t_->close_at = -1;
  const Millis now = t_->clock.NowMs();
  for (const auto& a : t_->on_connect) t_->pending.emplace(now + a.after_ms, a.bytes);
}

bool FakeTcpClient::Connected() {
  t_->Deliver();
  return t_->connected_client == this && !t_->peer_closed;
}

void FakeTcpClient::Disconnect() {
  if (t_->connected_client != this) return;
  t_->connected_client = nullptr;
  ++t_->disconnects;
  t_->pending.clear();
  t_->buffer.clear();
}

void FakeTcpClient::Write(const std::string& bytes) {
  if (t_->connected_client != this) throw TcpError("not connected");
  if (!t_->write_error.empty()) throw TcpError(t_->write_error);
  const Millis now = t_->clock.NowMs();
  if (t_->on_write_seen) t_->on_write_seen(bytes);
  t_->writes.push_back(bytes);
  t_->write_times.push_back(now);
  for (const auto& a : t_->on_write) t_->pending.emplace(now + a.after_ms, a.bytes);
  if (t_->close_after_write_ms >= 0) t_->close_at = now + t_->close_after_write_ms;
}

bool FakeTcpClient::DataWaiting() {
  t_->Deliver();
  return !t_->buffer.empty();
}

bool FakeTcpClient::WaitForData(Millis ms) {
  if (t_->connected_client != this) throw TcpError("not connected");
  const Millis end = t_->clock.NowMs() + ms;
  for (;;) {
    t_->Deliver();
    if (!t_->buffer.empty()) return true;
    if (t_->peer_closed) throw TcpError("connection closed by the terminal");
    Millis next = end;
    if (!t_->pending.empty()) next = std::min(next, t_->pending.begin()->first);
    if (t_->close_at >= 0) next = std::min(next, t_->close_at);
    if (next >= end) {
      t_->clock.AdvanceTo(end);
      t_->Deliver();
      return !t_->buffer.empty();
    }
    t_->clock.AdvanceTo(next);
  }
}

std::string FakeTcpClient::TakeAll() {
  t_->Deliver();
  std::string out;
  out.swap(t_->buffer);
  return out;
}

TcpClientFactory FakeTcpFactory(std::shared_ptr<FakeTcpTerminal> t) {
  return [t] { return std::make_unique<FakeTcpClient>(t); };
}

}  // namespace tarvina
