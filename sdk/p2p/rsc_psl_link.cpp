#include "p2p/rsc_psl_link.h"

#include "p2p/rsc_session.h"

// The library's own sessions are the stream's default link (with their idle hook for acknowledgements).
void rsc_PslLink_Install(void) {
    rsc_Session_Install(nullptr);
}
