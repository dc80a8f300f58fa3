// The 32 channels of a session: datagrams of at most 1,388 bytes each way as single data messages, without
// acknowledgement or ordering; reads report the sender's sequence number and whether messages went missing.
#pragma once

#include <stdint.h>

#include "p2p/psl_session.h"

enum { PSL_DATA_MAX = 1388, PSL_EXT_BLOCK = 12 };

int PSL_Session_Write(int sid, const void *data, uint32_t length, int channel);
int PSL_Session_Read(int sid, void *buf, int size, uint32_t timeoutMs, int channel);
int PSL_Session_Read_Seq(int sid, void *buf, int size, uint32_t timeoutMs, uint16_t *seq, uint8_t *lost,
                         int channel);
int PSL_Session_Channel_ON(int sid, int channel);
int PSL_Session_Channel_OFF(int sid, int channel);
int PSL_Session_Channel_State(int sid, int channel);
int PSL_Session_Take_Channel(int sid);
int PSL_Session_Set_Partial_Scramble(int sid, uint8_t on);
int PSL_Session_Peer_Protocol(int sid);
// Acknowledged messages on a channel.
int PSL_Session_Channel_Send(int sid, const void *msg, uint32_t size, int channel);
int PSL_Session_Channel_Queue_Empty(int sid, int channel);
int PSL_Session_Channel_Queue_Flush(int sid, int channel);

// Delivery of a received data message's user bytes to its channel (the dispatcher's side): to the channel's
// receive callback when one is set, else into the channel's queue when the channel is on; dropped otherwise.
// Resets the session's silence counter. The caller holds the table lock. Returns 1 delivered, 0 dropped.
// An acknowledged message's text into the channel's queue (never to a receive callback). 1 delivered, 0 not.
int _PSL_DeliverMessage(int sid, int channel, uint16_t seq, const uint8_t *data, uint16_t length);
int _PSL_DeliverData(int sid, int channel, uint16_t seq, const uint8_t *data, uint16_t length);
