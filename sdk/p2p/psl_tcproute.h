// The TCP road of a connect, for networks where UDP to the servers does not get through (or when TCP only is
// set): TCP connections to the masters on a table of well-known ports, the device's group asked over them,
// TCP connections to the group's servers on the port that worked, the device asked over those; then the TCP
// relay over the same connections (request, join, attach), after which the session's data travels on the
// relay's TCP connection.
//
// tcpState: 1 open masters -> 2 waiting -> 4 asking the group -> 5 open servers -> 7 waiting -> 9 asking the
// device -> 10 device known; dead ends 3 (no master accepted), 6 (no group answer), 8 (no server accepted),
// 11 (no device answer), each after 60 s. Then the relay: 12 requesting -> 15 granted -> 16 joining -> 18
// joined (the session is connected); dead ends 14 and 17 after 60 s.
//
// The tasks run on the task manager's thread with the table lock held; the connect, error and receive
// callbacks of the sockets run on the connection manager's thread and take the table lock themselves. Every
// socket of a session is kept in its slot and found by pointer under the lock, so a callback for a socket
// already released does nothing.
#pragma once

#include <stdint.h>

// TCP only: connects go to the servers over TCP alone (no UDP master query). Reset by library stop. 0, or
// -12 before the library runs.
int PSL_Set_TCP_Only(void);
int _PSL_TcpOnlyFlag(void);

// The table port of the first master that accepted a TCP connection (host order; 0 until one did).
uint16_t _PSL_TcpWorkedPort(void);

// Starts the TCP route task of sid (tcpState 1) / the TCP relay task (tcpState 12). 0, or -1 when the task
// cannot be made or the session is not connecting. Table lock taken inside (callers may hold it).
int _PSL_TcpRoute_Start(int sid);
int _PSL_TcpRelay_Start(int sid);
// The connect is done with the TCP road (it left the search, or ended): its tasks stop and its sockets
// close; the relay's connection stays when the session runs on it (the session owns it then).
void _PSL_TcpRoute_Release(int sid);

// Library stop: every session's sockets close, TCP only and the worked port are reset.
void _PSL_TcpRoute_Stop(void);

// Tests: the masters' TCP ports by table position (null restores 21047, 8080, 80, 443, 8000, 80, 443).
void _PSL_SetMasterTcpPortsForTest(const uint16_t ports[12]);

// The receive callback of every road socket: the bytes go through the connection's framer, whole packets
// to the dispatcher (transport 1), relay answers and the attach to the road. Bytes of a socket the road no
// longer holds are dropped; a stream that loses its framing has its socket released.
struct LinuxConn;
void _PSL_OnTcpStream(LinuxConn *conn, const char *host, uint16_t portNet, uint8_t *buf, int64_t len,
                      void *arg);
// Tests and the fuzz target: conn (the caller's) becomes server entry `entry` of sid's road in relay-entry
// state entryState (9 connected, 12 asked, 15 granted), the join target when target is set, with a fresh
// framer. _PSL_TcpRoute_DropForTest takes it back: 1 when the road still held it, 0 when it let it go (a
// broken stream destroys it; an attach hands it to the session, which then owns it).
void _PSL_TcpRoute_AdoptForTest(int sid, int entry, LinuxConn *conn, int entryState, int target);
int _PSL_TcpRoute_DropForTest(int sid, int entry);
