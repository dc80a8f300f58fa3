// The stream over this process's session layer: packets go out as session data on the stream's channel and
// come back through the channel's receive callback. Installed by whoever starts the stream over real
// sessions (the tunnel); the session layer must be started first. Undoes a test link installed before.
#pragma once

// Installs the session layer as the stream's link (idempotent).
void rsc_PslLink_Install(void);
