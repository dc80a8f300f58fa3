// Settings an application may change and its error reports about a session: the error-report switch, extra
// master hosts, the route-change callback, and two guarded settings (the MAC text the session words are
// made from, the new-server-protocol switch in psl_connect.h).
#pragma once

#include <stdint.h>

#include "p2p/p2p_net.h"

struct PSLSessionRecord;

enum {
    PSL_USER_MASTERS = 4,
    PSL_USER_MASTER_LEN = 128,
    PSL_REPORT_TEXT_MAX = 128,
    PSL_REPORT_DATA_MAX = 1248
};
enum { PSL_ERR_NO_HOST = -91, PSL_ERR_BAD_MAGIC = 9999 };

// Error reports are off until switched on (nonzero). 0.
int PSL_Set_Error_Report(int on);
// With reports on and a negative code: one MSG_SESSION_REPORT2 {UID, code, text cut to 128 characters, data
// cut to 1,248 bytes} to every server of the session's group on the main UDP socket, or once over the
// session's own connection when its route is the TCP relay. Returns the reports sent (0: none), -12 before
// the library runs, -18 for a session that does not exist.
int PSL_Report_Session_Error(PSLSessionRecord *r, int code, const char *text, const uint8_t *data,
                             int length);
int PSL_Report_Session_Error_ByIndex(int sid, int code, const char *text, const uint8_t *data, int length);

// Master hosts of the application (host 1 required; a null host 2 to 4 keeps its slot): 0, -12 before the
// library runs, -91 without host 1, -46 for a name of 128 characters or more (it could not be kept whole).
// A connect appends them to the master table once the masters are known (once per process), and a
// registering device whose masters stay silent tries them before it falls back to TCP.
int PSL_Set_Master_Hosts(const char *h1, const char *h2, const char *h3, const char *h4);
// A copy of the four slots; 1 when the first is set.
int _PSL_UserMasterHosts(char out[PSL_USER_MASTERS][PSL_USER_MASTER_LEN]);
// The connect's append, once per process while a first slot is set (library stop allows it again).
void _PSL_AddUserMastersOnce(void);

// Called whenever a session gets a better route: the session id, the route kind (PSL_ROUTE_*), the route's
// address as text and its port (network order). Only the first function set is kept; null is ignored. 0.
typedef void (*PSL_RouteFn)(int sid, int kind, const char *host, uint16_t portNet);
int PSL_Set_Route_Callback(PSL_RouteFn fn);
void _PSL_NotifyRoute(int sid, int kind, const p2p_NetAddr *addr);

// The MAC text ("aa:bb:cc:dd:ee:ff", at most 17 characters) the library's identity is made from instead of
// the first interface's: 0, 9999 with a wrong magic (nothing changes), -46 for a longer text.
int _PSL_SetPrivateMac(const char *mac, uint32_t magic);
// 1 and the six bytes when an override is set (hex pairs of the text; missing ones are 0), else 0.
int _PSL_PrivateMac(uint8_t out[6]);

// Library stop: the connect may append the hosts again after the next start (the settings themselves stay).
void _PSL_Settings_Stop(void);
