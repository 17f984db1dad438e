#pragma once

#include "launch/applet_publisher.h"
#include "launch/staging.h"

namespace zvq {

// What the user reads when the applet is refused, before the reason in brackets.
inline constexpr std::string_view kAppletNotTrustedText =
    "The downloaded program is not from the expected publisher and must not be run";

// Checks the committed applet through the handle the save holds, so what is checked is what CreateProcessW
// then loads. Raises EAppletNotTrusted unless the system accepts its Authenticode signature and the signer's
// chain holds a pinned key; with pins of "none" nothing is checked. Only the Windows program verifies the
// applet: elsewhere every applet passes.
void VerifyAppletPublisher(const StagedApplet& AApplet, const PublisherPins& APins);

// The publishers this build trusts (ZVQ_APPLET_PUBLISHER); "none" where applets are not verified.
PublisherPins CompiledPublisherPins();

}  // namespace zvq
