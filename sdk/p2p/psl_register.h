// A device's registration with its servers over UDP: its UID at the masters, NAT detection through the
// probes of its group's servers, then the device tasks (a login to each server of the group every second,
// a bare 4-byte ping every 5 s, the daily refresh). The login answers move the registration state.
#pragma once

#include <stdint.h>

#include "p2p/p2p_net.h"

struct LinuxConn;

// Registration flags.
enum : uint32_t {
    PSL_REG_SOCKETS = 1u << 0,
    PSL_REG_TASKS = 1u << 1,
    PSL_REG_LOGGED_IN = 1u << 2,
    PSL_REG_AWAKE = 1u << 3,
};
// Registration states.
enum {
    PSL_REG_STARTED = 1,
    PSL_REG_OPEN = 2,
    PSL_REG_LOGGED = 8,
    PSL_REG_LOST = 16,
    PSL_REG_WOKEN = 32,
    PSL_REG_FAILED = -1,
};

struct PSLStatusSummary {
    int32_t status;
    int32_t incomingSessions;
    int32_t notAccepted;
    int32_t error;
};
static_assert(sizeof(PSLStatusSummary) == 16, "status summary is 16 bytes");

typedef void (*PSL_RegisterFlagsFn)(uint32_t flags);
typedef void (*PSL_RegisterStateFn)(int state, int error, void *arg);

int PSL_Device_Register(const char *uid, const char *name, const char *password);
int PSL_Get_Register_Flags(uint32_t *out);
// How long the fall-back servers are given to accept a TCP connection (default 10,000 ms; reset at stop).
int PSL_Set_Register_Fallback_Wait(int32_t ms);
int PSL_Set_Register_Flags_Callback(PSL_RegisterFlagsFn cb);
int PSL_Get_Status_Summary(PSLStatusSummary *out);

// For the dispatcher and the other parts of the library.
// The device's own UID ("" on a client); 1 when a registration call runs; 1 once a UID was registered.
const char *_PSL_OwnUid(void);
int _PSL_RegistrationRunning(void);
int _PSL_Registered(void);
int _PSL_RegisterState(void);
void _PSL_SetOwnUidRefused(void);
void _PSL_SetOwnUidBusy(void);
// A login answer (MSG_LOGIN_OK or MSG_LOGIN_R) from a server of the own group; observed is the answer's
// address block or null.
void _PSL_OnLoginAnswer(const uint8_t *observed, const p2p_NetAddr *server);
void _PSL_OnDeviceWake(int awake);
// The login interval in seconds (25 unless the servers' answers lowered it).
int _PSL_LoginInterval(void);
// Library stop: the device tasks end and the registration is forgotten.
void _PSL_Register_Stop(void);

// MSG_LOGIN of the own UID to one server on conn (port in network order). observe hands the finished
// packet to the login hook first. _PSL_SendLoginCheck: the checking form, whose counter carries the check
// value and whose redirect bit asks the server to answer through the redirect hook; always observed.
void _PSL_SendLogin(LinuxConn *conn, const char *host, uint16_t portNet, int observe);
void _PSL_SendLoginCheck(LinuxConn *conn, const char *host, uint16_t portNet, uint32_t checkValue);

// The login check: every 200 ms a checking login to each server of the own group, until every one of
// them has answered through the redirect hook or the lifetime (ms) is over; then, once, done(). A given
// value replaces the check value; a running check is replaced. 0, or -5 when the task cannot be made.
// Table lock taken.
typedef void (*PSL_LoginCheckDoneFn)(void);
int _PSL_LoginCheck_Start(PSL_LoginCheckDoneFn done, const uint32_t *checkValue, int lifetimeMs);
// The redirect hook's count of servers that answered (from the dispatcher).
void _PSL_LoginCheck_Answered(int servers);
// 1 while a login check runs.
int _PSL_LoginCheck_Running(void);
