// A scripted server in the test's own process, on a real loopback socket: it takes one
// client at a time, accepts (or refuses) the handshake, answers requests with empty
// success unless told otherwise, and pushes what the test asks. For the behaviours a
// real server will not show on request: silence, refusal, hostile fields.
#pragma once

#include <functional>
#include <set>
#include <vector>

#include "framework/events.h"
#include "framework/transport.h"
#include "protocol/transaction.h"

namespace cvtest {

class FakeServer {
 public:
  struct SRequest {
    cv::Uint16 type = 0;
    cv::UFieldData fields;
  };
  // Fills the reply of a request: its fields and its error code.
  using TAnswer = std::function<void(const SRequest& request, cv::UFieldData& reply, cv::Uint32& errorCode)>;

  FakeServer() {
    listener_.reset(cv::UTransaction::NewConnection());
    cv::UTransaction::SetMessageHandler(listener_.get(), &FakeServer::OnMessage, this);
    cv::SInternetAddress any = cv::SInternetAddress::Any(0);
    cv::UTransport::Listen(cv::UTransaction::GetTransport(listener_.get()), &any, sizeof any);
    port_ = cv::UTransport::GetLocalAddress(cv::UTransaction::GetTransport(listener_.get())).port;
  }

  cv::Uint16 Port() const { return port_; }
  bool HasClient() const { return client_ && cv::UTransaction::IsEstablished(client_.get()); }

  // Sends a transaction that expects no reply to the client.
  void Push(cv::Uint16 type, cv::UFieldData fields) { cv::UTransaction::Post(client_.get(), type, fields); }
  // Answers the requests left unanswered so far (empty success).
  void ReplyHeld() {
    for (auto& t : held_) {
      cv::UFieldData reply;
      cv::UTransaction::Send(t.get(), reply);
    }
    held_.clear();
  }
  // Cuts the client off.
  void DropClient() { client_.reset(); }

  bool refuseHandshake = false;
  std::set<cv::Uint16> unanswered;  // request types left without a reply
  TAnswer answer;                   // none: empty success
  std::vector<SRequest> requests;   // every request, in arrival order

 private:
  static void OnMessage(void* context, void*, cv::Uint32, const void*, cv::Uint32) {
    static_cast<FakeServer*>(context)->Step();
  }

  void Step() {
    if (cv::TTransactConnection c = cv::UTransaction::AcceptConnection(listener_.get())) {
      client_.reset(c);
      held_.clear();
      cv::UTransaction::SetMessageHandler(c, &FakeServer::OnMessage, this);
    }
    if (!client_) return;
    cv::TTransactConnection c = client_.get();
    if (!cv::UTransaction::IsEstablished(c)) {
      const cv::Uint16 h = cv::UTransaction::ReadHandshake(c);
      if (h != cv::kHandshakeValid) return;
      if (refuseHandshake) {
        cv::UTransaction::RejectHandshake(c, 1);
        return;
      }
      cv::UTransaction::AcceptHandshake(c);
    }
    while (cv::TTransaction t = cv::UTransaction::NextRequest(c)) {
      cv::TransactionPtr handle(t);
      SRequest r;
      r.type = cv::UTransaction::GetType(t);
      cv::UTransaction::GetData(t, r.fields);
      requests.push_back(r);
      if (unanswered.count(r.type)) {
        held_.push_back(std::move(handle));
        continue;
      }
      cv::UFieldData reply;
      cv::Uint32 code = 0;
      if (answer) answer(r, reply, code);
      cv::UTransaction::SetReplyError(t, code);
      cv::UTransaction::Send(t, reply);
    }
  }

  cv::TransactConnectionPtr listener_;
  cv::TransactConnectionPtr client_;
  std::vector<cv::TransactionPtr> held_;
  cv::Uint16 port_ = 0;
};

}  // namespace cvtest
