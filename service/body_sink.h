#pragma once

#include <cstdint>
#include <span>

#include "errors/errors.h"

namespace zvq::http {

// A reply body passed the limit of the sink it was written into. Never shown to the user: the service
// client turns it into the error that fits the call.
class EResponseTooLarge : public NamedException<"EResponseTooLarge", ENetHTTPClientException> {
  using NamedException::NamedException;
};

// Where a reply body goes as it arrives: memory for the validation reply, a file for the applet. The HTTP
// client hands it the final response's body only, in order; a body it already passed on for a response
// that turned out not to be the final one (an authentication round) is dropped with Discard.
//
// Write may raise (EResponseTooLarge past the sink's limit, or the sink's own failure, such as a full
// disk): the client then stops the transfer and raises that same exception to its caller.
class BodySink {
 public:
  virtual ~BodySink() = default;

  // The length the peer announced. A hint only: it never makes a sink hold more than its limit.
  virtual void Expect(std::uint64_t ALength) { (void)ALength; }
  virtual void Write(std::span<const std::uint8_t> ABytes) = 0;
  // Forgets everything written so far.
  virtual void Discard() = 0;
  // Bytes held now.
  virtual std::uint64_t Size() const noexcept = 0;
};

}  // namespace zvq::http
