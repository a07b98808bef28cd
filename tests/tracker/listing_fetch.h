// Fetches a tracker's listing over a real loopback connection through the framework's
// transport and the client-side reader, the way the client does.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "framework/errors.h"
#include "framework/events.h"
#include "framework/transport.h"
#include "protocol/tracker.h"

namespace cvtest {

inline void InitTransportOnce() {
  static bool done = false;
  if (!done) {
    cv::UTransport::Init();
    done = true;
  }
}

struct SListingFetch {
  cv::TransportPtr transport;
  cv::CTrackerListReader reader;
  std::optional<cv::SError> error;
  bool done = false;

  void Drain() {
    cv::Uint8 buf[4096];
    cv::Uint32 n;
    while (!reader.Complete() && (n = cv::UTransport::Receive(transport.get(), buf, sizeof buf)) > 0)
      reader.Feed(cv::ByteView(buf, n));
  }

  static void Handle(void* context, void*, cv::Uint32 id, const void*, cv::Uint32) {
    auto* f = static_cast<SListingFetch*>(context);
    try {
      switch (id) {
        case cv::msg_ConnectionEstablished: {
          const auto g = cv::EncodeTrackerGreeting();
          cv::UTransport::Send(f->transport.get(), g.data(), cv::Uint32(g.size()));
          break;
        }
        case cv::msg_DataArrived:
          f->Drain();
          if (f->reader.Complete()) f->done = true;
          break;
        case cv::msg_ConnectionClosed:
          f->Drain();
          f->done = true;
          f->reader.Closed();
          break;
        case cv::msg_ConnectionFailed:
          f->done = true;
          cv::UTransport::GetConnectStatus(f->transport.get());
          break;
        default:
          break;
      }
    } catch (const cv::SError& e) {
      f->error = e;
      f->done = true;
    }
  }
};

// The listing of the tracker at 127.0.0.1:port; a failure is reported and gives none.
inline std::optional<std::vector<cv::STrackerServer>> FetchListing(cv::Uint16 port) {
  InitTransportOnce();
  SListingFetch f;
  f.transport.reset(cv::UTransport::New(cv::kTransportTCP));
  cv::UTransport::SetMessageHandler(f.transport.get(), &SListingFetch::Handle, &f);
  const cv::SInternetAddress addr = cv::SInternetAddress::Loopback(port);
  cv::UTransport::StartConnect(f.transport.get(), &addr, sizeof addr);
  const bool finished = cv::UEventLoop::RunUntilFor([&] { return f.done; }, 5000);
  f.transport.reset();
  if (!finished) {
    ADD_FAILURE() << "no listing within 5 s";
    return std::nullopt;
  }
  if (f.error) {
    ADD_FAILURE() << "listing failed with (" << f.error->errClass << ", " << f.error->id << ")";
    return std::nullopt;
  }
  return f.reader.TakeServers();
}

}  // namespace cvtest
