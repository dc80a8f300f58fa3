// Connecting to a device by its UID: the session is allocated and named, the LAN lookup starts, and the
// connect waits until a route is up. The LAN route is found here; the routes through the servers plug in at
// _PSL_RemoteRouteStep, which reports "no route yet" (0) until they are built.
#pragma once

#include <stdint.h>

#include "p2p/psl_session.h"

typedef void (*PSL_ConnectFn)(int state, int error, void *arg);

int PSL_Connect_ByUID(const char *uid);
int PSL_Connect_ByUID_ToSession(const char *uid, int sid);
int PSL_Reserve_Session(void);
int PSL_Connect_ByUID_Start(const char *uid, PSL_ConnectFn cb, void *arg);
int PSL_Connect_ByUID_Start_ToSession(const char *uid, int sid, PSL_ConnectFn cb, void *arg);
int PSL_Connect_Abort_All(void);
int PSL_Connect_Abort(int sid);

// The callback connect's watch task (period 10 ms, lifetime 65 s): drives the connect's rounds and calls
// back (2, 0) on success, (-1, code) on failure or (-1, -13) when its lifetime ran out; a failed connect's
// session is freed.
void _PSL_AsyncConnect_Tick(p2p_TimerTask *task, uint32_t period, uint16_t value, void *arg, int expired);

// One round of the server routes for a connecting session (table lock not held; round 0 first): 0 nothing
// yet, a positive route result when a route is up, a negative PSLError when the servers' road has failed.
// An installed step is used; else _PSL_ServerRemoteStep when the servers' road is linked in; else none.
typedef int (*PSL_RemoteRouteFn)(int sid, int round);
void _PSL_SetRemoteRouteStep(PSL_RemoteRouteFn fn);
int _PSL_RemoteRouteStep(int sid, int round);
