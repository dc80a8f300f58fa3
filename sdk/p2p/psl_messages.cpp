// The message catalogue table, its builder and its bounded readers.
#include "p2p/psl_messages.h"

#include <string.h>

#include <atomic>
#include <iterator>

#include "p2p/p2p_net.h"

namespace {

#define F(n, off, w, k)          \
    PslFieldDef {                \
        n, off, w, k, 0, nullptr \
    }
#define C8(off, v)                              \
    PslFieldDef {                               \
        nullptr, off, 1, PSL_CONST8, v, nullptr \
    }
#define C32(off, v)                              \
    PslFieldDef {                                \
        nullptr, off, 4, PSL_CONST32, v, nullptr \
    }
#define UIDF F("UID", 0, 20, PSL_TEXT)
#define FORM(n, len, route, arr)           \
    PslFormDef {                           \
        n, len, route, arr, std::size(arr) \
    }
#define EMPTY(n, len, route)      \
    PslFormDef {                  \
        n, len, route, nullptr, 0 \
    }
#define MSG(n, type, forms)              \
    PslMsgDef {                          \
        n, type, forms, std::size(forms) \
    }

// ---- field lists

const PslFieldDef kUid[] = {UIDF};
const PslFieldDef kAny[] = {F("data", 0, 0, PSL_TAIL)};
const PslFieldDef kUidAddr[] = {UIDF, F("addr", 20, 16, PSL_ADDR)};
const PslFieldDef kAddr[] = {F("addr", 0, 16, PSL_ADDR)};
const PslFieldDef kUidWords[] = {UIDF, F("randomID", 20, 4, PSL_U32), F("mac", 24, 4, PSL_U32)};
const PslFieldDef kUidWord[] = {UIDF, F("randomID", 20, 4, PSL_U32)};
const PslFieldDef kWords[] = {F("randomID", 0, 4, PSL_U32), F("mac", 4, 4, PSL_U32)};
const PslFieldDef kProbe[] = {F("counter", 0, 4, PSL_U32), F("instance", 4, 2, PSL_U16),
                              F("byte", 6, 1, PSL_U8)};

const PslFieldDef kQueryGroup[] = {UIDF, C8(36, 6), F("value", 37, 1, PSL_U8)};
const PslFieldDef kQueryGroupV1[] = {UIDF, F("value", 20, 1, PSL_U8)};
const PslFieldDef kQueryGroupV1R[] = {UIDF,
                                      F("groupId1", 68, 2, PSL_U16),
                                      F("groupId2", 70, 2, PSL_U16),
                                      F("groupId3", 72, 2, PSL_U16),
                                      F("serverCount", 74, 2, PSL_U16),
                                      F("addr", 76, 16, PSL_ADDR),
                                      F("servers", 92, 0, PSL_ADDRLIST)};
const PslFieldDef kGroupInfo[] = {UIDF,
                                  F("groupId1", 20, 2, PSL_U16),
                                  F("groupId2", 22, 2, PSL_U16),
                                  F("groupId3", 24, 2, PSL_U16),
                                  F("serverCount", 26, 2, PSL_U16),
                                  F("addr", 28, 16, PSL_ADDR),
                                  F("info", 44, 7, PSL_BYTES),
                                  F("word", 56, 4, PSL_U32),
                                  F("servers", 60, 0, PSL_ADDRLIST)};
const PslFieldDef kQueryGroupR[] = {UIDF, F("addr", 36, 16, PSL_ADDR), F("recordCount", 54, 2, PSL_U16)};

const PslFieldDef kSessionHelloAnswer24[] = {UIDF, F("result", 20, 4, PSL_I32)};
const PslFieldDef kSessionHelloAnswer32[] = {UIDF, F("result", 20, 4, PSL_I32), F("randomID", 24, 4, PSL_U32),
                                             F("mac", 28, 4, PSL_U32)};
const PslFieldDef kLogin[] = {UIDF,
                              F("localAddr", 20, 16, PSL_ADDR),
                              F("natType", 36, 4, PSL_U32),
                              F("libraryVersion", 40, 4, PSL_U32),
                              F("observed", 44, 8, PSL_ADDRS),
                              F("observedFlags", 172, 8, PSL_U32S),
                              F("counter", 220, 4, PSL_U32),
                              F("instance", 224, 2, PSL_U16),
                              F("loginInterval", 226, 2, PSL_U16),
                              F("localListKnown", 228, 2, PSL_U16),
                              F("localListAddr", 230, 4, PSL_U32),
                              F("localListPort", 234, 2, PSL_U16)};
const PslFieldDef kLoginRLong[] = {UIDF, F("addr", 20, 16, PSL_ADDR), F("redirect", 204, 1, PSL_U8),
                                   F("stop", 268, 1, PSL_U8)};
const PslFieldDef kWakeQuery[] = {UIDF, F("check", 20, 4, PSL_U32)};
const PslFieldDef kPunch96[] = {UIDF, F("localAddrs", 20, 4, PSL_ADDRS), F("randomID", 84, 4, PSL_U32),
                                F("mac", 88, 4, PSL_U32), F("natType", 92, 4, PSL_U32)};
const PslFieldDef kPunch272[] = {UIDF,
                                 F("localAddrs", 20, 4, PSL_ADDRS),
                                 F("randomID", 84, 4, PSL_U32),
                                 F("mac", 88, 4, PSL_U32),
                                 F("natType", 92, 4, PSL_U32),
                                 F("observed", 96, 8, PSL_ADDRS),
                                 F("observedFlags", 224, 8, PSL_U32S)};
const PslFieldDef kRelayRequest32[] = {UIDF, F("randomID", 20, 4, PSL_U32), F("mac", 24, 4, PSL_U32),
                                       C32(28, 60000)};
const PslFieldDef kRelayRequest2[] = {UIDF, F("randomID", 20, 4, PSL_U32), F("mac", 24, 4, PSL_U32),
                                      C32(28, 60), C32(32, 5)};
const PslFieldDef kRelayRequestR24[] = {UIDF, F("status", 20, 4, PSL_I32)};
const PslFieldDef kRelayRequestR32[] = {UIDF, F("status", 20, 4, PSL_I32), F("randomID", 24, 4, PSL_U32),
                                        F("mac", 28, 4, PSL_U32)};
const PslFieldDef kRelayJoin44[] = {UIDF,
                                    F("randomID", 20, 4, PSL_U32),
                                    F("mac", 24, 4, PSL_U32),
                                    F("status", 28, 4, PSL_U32),
                                    F("libraryVersion", 32, 4, PSL_U32),
                                    C32(36, 20),
                                    F("natType", 40, 4, PSL_U32)};
const PslFieldDef kQueryDevice2[] = {UIDF, C32(20, 0)};
const PslFieldDef kQueryDeviceR[] = {UIDF, F("wakeSeconds", 20, 4, PSL_U32), F("natType", 36, 1, PSL_U8),
                                     F("libraryVersion", 40, 4, PSL_U32)};
const PslFieldDef kQueryDeviceFail[] = {UIDF, F("code", 20, 4, PSL_I32)};
const PslFieldDef kWakeup[] = {UIDF, PslFieldDef{nullptr, 20, 12, PSL_CONSTTEXT, 0, "WakeUpMsg!!!"}};
const PslFieldDef kWaking24[] = {UIDF, F("wakeSeconds", 20, 4, PSL_U32)};
const PslFieldDef kPeerAddress116[] = {UIDF,
                                       F("addr", 20, 16, PSL_ADDR),
                                       F("localAddrs", 36, 4, PSL_ADDRS),
                                       F("randomID", 100, 4, PSL_U32),
                                       F("mac", 104, 4, PSL_U32),
                                       F("natType", 108, 4, PSL_U32)};
const PslFieldDef kPeerAddress292[] = {UIDF,
                                       F("addr", 20, 16, PSL_ADDR),
                                       F("localAddrs", 36, 4, PSL_ADDRS),
                                       F("randomID", 100, 4, PSL_U32),
                                       F("mac", 104, 4, PSL_U32),
                                       F("natType", 108, 4, PSL_U32),
                                       F("observed", 116, 8, PSL_ADDRS),
                                       F("observedFlags", 244, 8, PSL_U32S)};
const PslFieldDef kAttach56[] = {UIDF, F("relaySession", 20, 2, PSL_U16), F("deviceAddr", 24, 16, PSL_ADDR),
                                 F("clientAddr", 40, 16, PSL_ADDR)};
const PslFieldDef kAttach80[] = {UIDF,
                                 F("relaySession", 20, 2, PSL_U16),
                                 F("deviceAddr", 24, 16, PSL_ADDR),
                                 F("clientAddr", 40, 16, PSL_ADDR),
                                 F("randomID", 56, 4, PSL_U32),
                                 F("mac", 60, 4, PSL_U32),
                                 F("deviceVersion", 64, 4, PSL_U32),
                                 F("clientVersion", 68, 4, PSL_U32),
                                 F("deviceProtocol", 72, 1, PSL_U8),
                                 F("clientProtocol", 76, 1, PSL_U8)};
const PslFieldDef kAttach88[] = {UIDF,
                                 F("relaySession", 20, 2, PSL_U16),
                                 F("deviceAddr", 24, 16, PSL_ADDR),
                                 F("clientAddr", 40, 16, PSL_ADDR),
                                 F("randomID", 56, 4, PSL_U32),
                                 F("mac", 60, 4, PSL_U32),
                                 F("deviceVersion", 64, 4, PSL_U32),
                                 F("clientVersion", 68, 4, PSL_U32),
                                 F("deviceProtocol", 72, 1, PSL_U8),
                                 F("clientProtocol", 76, 1, PSL_U8),
                                 F("deviceNatType", 80, 1, PSL_U8),
                                 F("clientNatType", 84, 1, PSL_U8)};
// User data of one data message: at most 1,388 bytes, so that the largest packet (with the session-word
// block) is the 1,416 bytes a receiver reads.
const PslFieldDef kDataNoExt[] = {F("data", 0, 1388, PSL_TAIL)};
const PslFieldDef kDataExt[] = {C32(0, 12), F("randomID", 4, 4, PSL_U32), F("mac", 8, 4, PSL_U32),
                                F("data", 12, 1388, PSL_TAIL)};
const PslFieldDef kBlocks12[] = {F("msgSeq", 0, 4, PSL_U32), F("randomID", 4, 4, PSL_U32),
                                 F("kind", 9, 1, PSL_U8), F("text", 12, 0, PSL_TAIL)};
const PslFieldDef kBlocks16[] = {F("msgSeq", 0, 4, PSL_U32), F("randomID", 4, 4, PSL_U32),
                                 F("kind", 9, 1, PSL_U8), F("mac", 12, 4, PSL_U32),
                                 F("text", 16, 0, PSL_TAIL)};
const PslFieldDef kAck12[] = {F("msgSeq", 0, 4, PSL_U32), F("randomID", 4, 4, PSL_U32),
                              F("kind", 9, 1, PSL_U8)};
const PslFieldDef kAck16[] = {F("msgSeq", 0, 4, PSL_U32), F("randomID", 4, 4, PSL_U32),
                              F("kind", 9, 1, PSL_U8), F("mac", 12, 4, PSL_U32)};
const PslFieldDef kLanSearch[] = {UIDF, F("libraryVersion", 36, 4, PSL_U32), F("randomID", 40, 4, PSL_U32),
                                  F("mac", 44, 4, PSL_U32), F("mode", 48, 4, PSL_U32)};
const PslFieldDef kLanSearchR184[] = {UIDF,
                                      F("description", 36, 129, PSL_TEXT),
                                      F("libraryVersion", 168, 4, PSL_U32),
                                      F("randomID", 172, 4, PSL_U32),
                                      F("mac", 176, 4, PSL_U32),
                                      F("mode", 180, 4, PSL_U32)};
const PslFieldDef kLanSearchR168[] = {UIDF, F("description", 36, 129, PSL_TEXT)};
const PslFieldDef kLanConnect[] = {
    UIDF,       F("libraryVersion", 36, 4, PSL_U32), F("randomID", 40, 4, PSL_U32), F("mac", 44, 4, PSL_U32),
    C32(48, 0), F("token", 52, 4, PSL_U32)};
const PslFieldDef kSessionInfo[] = {UIDF, F("addr", 20, 16, PSL_ADDR), F("peerNatType", 36, 1, PSL_U8),
                                    F("natType", 37, 1, PSL_U8), F("routeKind", 38, 1, PSL_U8)};
const PslFieldDef kVersionQuery[] = {F("UID", 0, 28, PSL_TEXT)};
const PslFieldDef kVersionQueryR[] = {UIDF, F("uidExtra", 20, 8, PSL_BYTES), F("result", 28, 4, PSL_I32),
                                      F("groupInfo", 32, 7, PSL_BYTES)};
const PslFieldDef kSessionReport[] = {
    F("remoteUID", 0, 20, PSL_TEXT),      F("addr", 20, 16, PSL_ADDR),
    F("peerNatType", 36, 1, PSL_U8),      F("natType", 37, 1, PSL_U8),
    F("routeByte", 38, 1, PSL_U8),        F("value", 40, 4, PSL_U32),
    F("peerVersion", 44, 4, PSL_U32),     F("libraryVersion", 48, 4, PSL_U32),
    F("randomID", 52, 4, PSL_U32),        F("mac", 56, 4, PSL_U32),
    F("localAddrs", 60, 4, PSL_ADDRS),    F("observed", 124, 8, PSL_ADDRS),
    F("stats2", 252, 64, PSL_BYTES),      F("stats1", 316, 128, PSL_BYTES),
    F("observedFlags", 444, 8, PSL_U32S), F("stats3", 476, 32, PSL_BYTES),
    F("peerAddr", 508, 16, PSL_ADDR),     F("uptimeMs", 524, 4, PSL_U32)};
const PslFieldDef kSessionReport2[] = {UIDF, F("result", 20, 4, PSL_I32), F("text", 24, 128, PSL_TEXT),
                                       F("data", 152, 1248, PSL_TAIL)};  // up to 1,416 bytes in all
const PslFieldDef kTimePing[] = {UIDF, F("word1", 20, 4, PSL_U32), F("word2", 24, 4, PSL_U32)};
const PslFieldDef kTimePingR[] = {UIDF,
                                  C8(20, 20),
                                  F("word1", 24, 4, PSL_U32),
                                  F("word2", 28, 4, PSL_U32),
                                  F("time1", 32, 4, PSL_U32),
                                  F("time2", 36, 4, PSL_U32)};

// ---- forms

const PslFormDef fUidIn[] = {FORM("std", 20, 0, kUid)};
const PslFormDef fAny[] = {FORM("any", 0, 0, kAny)};
const PslFormDef fQueryGroup[] = {FORM("std", 38, 0x18, kQueryGroup)};
const PslFormDef fQueryGroupV1[] = {FORM("std", 24, 0x18, kQueryGroupV1)};
const PslFormDef fQueryGroupV1R[] = {FORM("std", 92, 0, kQueryGroupV1R)};
const PslFormDef fGroupInfo[] = {FORM("std", 60, 0, kGroupInfo)};
const PslFormDef fQueryGroupR[] = {FORM("records", 56, 0, kQueryGroupR)};
const PslFormDef fLoginOk[] = {FORM("std", 36, 0, kUidAddr)};
const PslFormDef fSessionHello[] = {FORM("server28", 28, 0, kUidWords),
                                    FORM("answer24", 24, 0x14, kSessionHelloAnswer24),
                                    FORM("answer32", 32, 0x14, kSessionHelloAnswer32)};
const PslFormDef fLogin[] = {FORM("std", 272, 0x14, kLogin)};
const PslFormDef fLoginR[] = {FORM("short36", 36, 0, kUidAddr), FORM("long272", 272, 0, kLoginRLong)};
const PslFormDef fWakeQuery[] = {FORM("std", 24, 0x14, kWakeQuery)};
const PslFormDef fPunch[] = {FORM("punch36", 36, 0x34, kUid), FORM("punch96", 96, 0x34, kPunch96),
                             FORM("punch272", 272, 0x34, kPunch272)};
const PslFormDef fRelayRequest[] = {FORM("short20", 20, 0x24, kUid),
                                    FORM("long32", 32, 0x24, kRelayRequest32)};
const PslFormDef fRelayRequestR[] = {FORM("short24", 24, 0, kRelayRequestR24),
                                     FORM("long32", 32, 0, kRelayRequestR32)};
const PslFormDef fRelayRequest2[] = {FORM("std", 36, 0x24, kRelayRequest2)};
const PslFormDef fRelayRequest2R[] = {FORM("long32", 32, 0, kRelayRequestR32)};
const PslFormDef fRelayJoin[] = {FORM("short20", 20, 0x24, kUid), FORM("long44", 44, 0x24, kRelayJoin44)};
const PslFormDef fQueryDevice[] = {FORM("std", 20, 0x24, kUid)};
const PslFormDef fQueryDevice2[] = {FORM("std", 24, 0x24, kQueryDevice2)};
const PslFormDef fQueryDeviceR[] = {FORM("std", 44, 0, kQueryDeviceR)};
const PslFormDef fQueryDeviceFail[] = {FORM("std", 24, 0, kQueryDeviceFail)};
const PslFormDef fWakeup[] = {FORM("std", 32, 0x24, kWakeup)};
const PslFormDef fWaking[] = {FORM("uid20", 20, 0, kUid), FORM("seconds24", 24, 0, kWaking24)};
const PslFormDef fPeerAddress[] = {FORM("short36", 36, 0x21, kUidAddr), FORM("server36", 36, 0, kUidAddr),
                                   FORM("server116", 116, 0, kPeerAddress116),
                                   FORM("server292", 292, 0, kPeerAddress292)};
const PslFormDef fAttach[] = {FORM("short56", 56, 0, kAttach56), FORM("long80", 80, 0, kAttach80),
                              FORM("long88", 88, 0, kAttach88)};
const PslFormDef fAttachR[] = {FORM("device", 28, 0x14, kUidWords), FORM("client", 28, 0x24, kUidWords)};
const PslFormDef fHello[] = {FORM("long28", 28, 0x33, kUidWords), FORM("short24", 24, 0x33, kUidWord)};
const PslFormDef fDecoy[] = {FORM("decoy24", 24, 0x33, kUidWord)};

#define DATA_FORMS(id, route)                                                                                \
    const PslFormDef id[] = {FORM("noext", 0, route, kDataNoExt),    FORM("ext", 12, route, kDataExt),       \
                             FORM("blocks12", 12, route, kBlocks12), FORM("blocks16", 16, route, kBlocks16), \
                             FORM("ack12", 12, route, kAck12),       FORM("ack16", 16, route, kAck16)};
DATA_FORMS(fData21, 0x21)
DATA_FORMS(fData12, 0x12)
DATA_FORMS(fData24, 0x24)
DATA_FORMS(fData14, 0x14)
#define CLOSE_FORMS(id, route) \
    const PslFormDef id[] = {EMPTY("noext", 0, route), FORM("ext", 8, route, kWords)};
CLOSE_FORMS(fClose21, 0x21)
CLOSE_FORMS(fClose12, 0x12)
CLOSE_FORMS(fClose24, 0x24)
CLOSE_FORMS(fClose14, 0x14)

const PslFormDef fLanSearch[] = {FORM("std", 52, 0x21, kLanSearch)};
const PslFormDef fLanSearchR[] = {FORM("full184", 184, 0x12, kLanSearchR184),
                                  FORM("old168", 168, 0x12, kLanSearchR168), FORM("old36", 36, 0x12, kUid)};
const PslFormDef fLanConnect[] = {FORM("std", 72, 0x21, kLanConnect)};
const PslFormDef fSessionInfo[] = {FORM("std", 40, 0x24, kSessionInfo)};
const PslFormDef fVersionQuery[] = {FORM("std", 28, 0x21, kVersionQuery)};
const PslFormDef fVersionQueryR[] = {FORM("std", 48, 0x12, kVersionQueryR)};
const PslFormDef fSessionReport[] = {FORM("std", 528, 0x24, kSessionReport)};
const PslFormDef fSessionReport2[] = {FORM("client", 152, 0x24, kSessionReport2),
                                      FORM("device", 152, 0x14, kSessionReport2)};
const PslFormDef fProbe[] = {FORM("std", 8, 0x3f, kProbe)};
const PslFormDef fProbeR[] = {FORM("std", 16, 0, kAddr)};
const PslFormDef fTimePing[] = {FORM("std", 28, 0, kTimePing)};
const PslFormDef fTimePingR[] = {FORM("std", 40, 0x14, kTimePingR)};

const PslMsgDef kTable[] = {
    MSG("MSG_UID_REFUSED", 0x0008, fUidIn),
    MSG("MSG_UID_NOTICE", 0x000A, fUidIn),
    MSG("MSG_QUERY_GROUP_V1", 0x000B, fQueryGroupV1),
    MSG("MSG_QUERY_GROUP_V1_R", 0x000C, fQueryGroupV1R),
    MSG("MSG_SERVER_ACK_0D", 0x000D, fAny),
    MSG("MSG_LOGIN_OK", 0x0102, fLoginOk),
    MSG("MSG_SESSION_HELLO", 0x0103, fSessionHello),
    MSG("MSG_LOGIN", 0x0105, fLogin),
    MSG("MSG_LOGIN_R", 0x0106, fLoginR),
    MSG("MSG_SERVER_ACK_108", 0x0108, fAny),
    MSG("MSG_DEVICE_WAKE", 0x0109, fUidIn),
    MSG("MSG_DEVICE_SLEEP", 0x010A, fUidIn),
    MSG("MSG_WAKE_QUERY", 0x0114, fWakeQuery),
    MSG("MSG_PUNCH", 0x0203, fPunch),
    MSG("MSG_RELAY_REQUEST", 0x0205, fRelayRequest),
    MSG("MSG_RELAY_REQUEST_R", 0x0206, fRelayRequestR),
    MSG("MSG_RELAY_REQUEST2", 0x0207, fRelayRequest2),
    MSG("MSG_RELAY_REQUEST2_R", 0x0208, fRelayRequest2R),
    MSG("MSG_RELAY_JOIN", 0x0209, fRelayJoin),
    MSG("MSG_QUERY_DEVICE", 0x0211, fQueryDevice),
    MSG("MSG_QUERY_DEVICE_R", 0x0212, fQueryDeviceR),
    MSG("MSG_QUERY_DEVICE_FAIL", 0x0213, fQueryDeviceFail),
    MSG("MSG_QUERY_DEVICE2", 0x0214, fQueryDevice2),
    MSG("MSG_QUERY_DEVICE2_R", 0x0215, fQueryDeviceR),
    MSG("MSG_DEVICE_ASLEEP", 0x0227, fUidIn),
    MSG("MSG_WAKEUP", 0x0228, fWakeup),
    MSG("MSG_DEVICE_WAKING", 0x0229, fWaking),
    MSG("MSG_PEER_ADDRESS", 0x0301, fPeerAddress),
    MSG("MSG_RELAY_ATTACH", 0x0303, fAttach),
    MSG("MSG_RELAY_ATTACH_R", 0x030C, fAttachR),
    MSG("MSG_P2P_HELLO", 0x0401, fHello),
    MSG("MSG_P2P_HELLO_R", 0x0402, fHello),
    MSG("MSG_P2P_HELLO_ACK", 0x0404, fHello),
    MSG("MSG_P2P_DATA_C", 0x0407, fData21),
    MSG("MSG_P2P_DATA_D", 0x0408, fData12),
    MSG("MSG_P2P_CLOSE_C", 0x0417, fClose21),
    MSG("MSG_P2P_CLOSE_D", 0x0418, fClose12),
    MSG("MSG_P2P_ALIVE_C", 0x0427, fClose21),
    MSG("MSG_P2P_ALIVE_D", 0x0428, fClose12),
    MSG("MSG_RELAY_DATA_IN1", 0x0501, fData24),
    MSG("MSG_RELAY_DATA_D", 0x0502, fData14),
    MSG("MSG_RELAY_DATA_IN3", 0x0503, fData14),
    MSG("MSG_RELAY_DATA_C", 0x0504, fData24),
    MSG("MSG_RELAY_CLOSE_IN1", 0x0511, fClose24),
    MSG("MSG_RELAY_CLOSE_D", 0x0512, fClose14),
    MSG("MSG_RELAY_CLOSE_IN3", 0x0513, fClose14),
    MSG("MSG_RELAY_CLOSE_C", 0x0514, fClose24),
    MSG("MSG_RELAY_ALIVE_IN1", 0x0521, fClose24),
    MSG("MSG_RELAY_ALIVE_D", 0x0522, fClose14),
    MSG("MSG_RELAY_ALIVE_IN3", 0x0523, fClose14),
    MSG("MSG_RELAY_ALIVE_C", 0x0524, fClose24),
    MSG("MSG_LAN_SEARCH", 0x0601, fLanSearch),
    MSG("MSG_LAN_SEARCH_R", 0x0602, fLanSearchR),
    MSG("MSG_LAN_CONNECT", 0x0603, fLanConnect),
    MSG("MSG_SESSION_INFO", 0x0801, fSessionInfo),
    MSG("MSG_VERSION_QUERY", 0x0802, fVersionQuery),
    MSG("MSG_VERSION_QUERY_R", 0x0803, fVersionQueryR),
    MSG("MSG_SESSION_REPORT", 0x0804, fSessionReport),
    MSG("MSG_SESSION_REPORT2", 0x0805, fSessionReport2),
    MSG("MSG_PROBE", 0x0A01, fProbe),
    MSG("MSG_PROBE_R", 0x0A02, fProbeR),
    MSG("MSG_PROBE_DONE", 0x0A03, fAny),
    MSG("MSG_TIME_PING", 0x0A07, fTimePing),
    MSG("MSG_TIME_PING_R", 0x0A08, fTimePingR),
    MSG("MSG_GROUP_INFO", 0x1005, fGroupInfo),
    MSG("MSG_SERVER_ACK_1006", 0x1006, fAny),
    MSG("MSG_QUERY_GROUP", 0x1007, fQueryGroup),
    MSG("MSG_QUERY_GROUP_R", 0x1008, fQueryGroupR),
    MSG("MSG_QUERY_DEVICE6", 0x1009, fAny),
    MSG("MSG_QUERY_DEVICE6_R", 0x100A, fAny),
    MSG("MSG_PROBE_EX", 0x8003, fProbe),
    MSG("MSG_PROBE_EX_R", 0x8004, fProbeR),
    MSG("MSG_PROBE_EX_DONE", 0x8005, fAny),
    MSG("MSG_P2P_DECOY", 0xFFFF, fDecoy),
};

// memcpy that accepts an empty input without a pointer.
void copyIn(uint8_t *dst, const uint8_t *src, size_t n) {
    if (n) memcpy(dst, src, n);
}

const PslValue *find(const PslValue *v, size_t n, const char *name) {
    for (size_t i = 0; i < n; ++i)
        if (v[i].name && strcmp(v[i].name, name) == 0) return &v[i];
    return nullptr;
}

bool fitsUnsigned(int64_t v, int bytes) {
    return v >= 0 && (bytes >= 8 || v < ((int64_t)1 << (8 * bytes)));
}

// Writes the header fields given by name over the defaults; false for a value that does not fit.
bool headerValue(const PslValue &v, PSLPacketHeader *h, bool *known) {
    struct Slot {
        const char *name;
        int bytes;
    } static const slots[] = {{"seq", 2},   {"sessionTag", 2}, {"channel", 1},
                              {"extra", 1}, {"routeFlags", 1}, {"flags", 1}};
    for (size_t i = 0; i < std::size(slots); ++i) {
        if (strcmp(v.name, slots[i].name) != 0) continue;
        *known = true;
        if (!fitsUnsigned(v.num, slots[i].bytes)) return false;
        switch (i) {
            case 0:
                h->seq = (uint16_t)v.num;
                break;
            case 1:
                h->sessionTag = (uint16_t)v.num;
                break;
            case 2:
                h->channel = (uint8_t)v.num;
                break;
            case 3:
                h->extra = (uint8_t)v.num;
                break;
            case 4:
                h->routeFlags = (uint8_t)v.num;
                break;
            default:
                h->flags = (uint8_t)v.num;
                break;
        }
        return true;
    }
    *known = false;
    return true;
}

// The records of MSG_QUERY_GROUP_R: group identifiers, server addresses, then the blob when given.
int buildGroupRecords(const PslValue *values, size_t n, uint8_t *p, size_t room) {
    size_t at = 0;
    if (const PslValue *g = find(values, n, "groupIds")) {
        if (g->count != 3 || room < at + 10) return -1;
        p[at] = 1;
        psl_PutU16(p + at + 2, 6);
        for (int i = 0; i < 3; ++i) psl_PutU16(p + at + 4 + 2 * i, (uint16_t)g->words[i]);
        at += 10;
    }
    if (const PslValue *s = find(values, n, "servers")) {
        if (s->len % 16 || s->len > 0xffff || room < at + 4 + s->len) return -1;
        p[at] = 2;
        psl_PutU16(p + at + 2, (uint16_t)s->len);
        copyIn(p + at + 4, s->bytes, s->len);
        at += 4 + s->len;
    }
    if (const PslValue *b = find(values, n, "blob")) {
        if (b->len > 0xffff || room < at + 4 + b->len) return -1;
        p[at] = 3;
        psl_PutU16(p + at + 2, (uint16_t)b->len);
        copyIn(p + at + 4, b->bytes, b->len);
        at += 4 + b->len;
    }
    return (int)at;
}

bool isFormInput(const PslFormDef *form, const char *name) {
    for (size_t i = 0; i < form->fieldCount; ++i)
        if (form->fields[i].name && strcmp(form->fields[i].name, name) == 0) return true;
    return false;
}

std::atomic<uint16_t> g_instance{0};
std::atomic<uint32_t> g_probeCounter{0};
std::atomic<uint32_t> g_probeExCounter{0};

}  // namespace

const PslMsgDef *psl_Msg_Table(size_t *count) {
    if (count) *count = std::size(kTable);
    return kTable;
}

const PslMsgDef *psl_Msg_ByName(const char *name) {
    if (!name) return nullptr;
    for (const PslMsgDef &m : kTable)
        if (strcmp(m.name, name) == 0) return &m;
    return nullptr;
}

const PslMsgDef *psl_Msg_ByType(uint16_t type) {
    for (const PslMsgDef &m : kTable)
        if (m.type == type) return &m;
    return nullptr;
}

const PslFormDef *psl_Msg_Form(const PslMsgDef *msg, const char *form) {
    if (!msg || !form) return nullptr;
    for (size_t i = 0; i < msg->formCount; ++i)
        if (strcmp(msg->forms[i].form, form) == 0) return &msg->forms[i];
    return nullptr;
}

const PslFormDef *psl_Msg_FormFor(const PslMsgDef *msg, size_t len) {
    if (!msg) return nullptr;
    const PslFormDef *best = nullptr;
    for (size_t i = 0; i < msg->formCount; ++i) {
        const PslFormDef *f = &msg->forms[i];
        if (f->length <= len && (!best || f->length > best->length)) best = f;
    }
    return best;
}

const PslFieldDef *psl_Form_Field(const PslFormDef *form, const char *name) {
    if (!form || !name) return nullptr;
    for (size_t i = 0; i < form->fieldCount; ++i)
        if (form->fields[i].name && strcmp(form->fields[i].name, name) == 0) return &form->fields[i];
    return nullptr;
}

void psl_AddrBlock(uint8_t *out, uint32_t ipv4Net, uint16_t portNet) {
    if (ipv4Net == 0 && portNet == 0) {
        memset(out, 0, 16);  // an unset address slot stays zero
        return;
    }
    p2p_AddrBlock_Write(out, ipv4Net, portNet);
}

int psl_Msg_Build(const PslMsgDef *msg, const PslFormDef *form, const PslValue *values, size_t n,
                  uint8_t *out, size_t cap) {
    if (!msg || !form || !out || (n && !values)) return -1;
    size_t limit = cap < (size_t)PSL_SEND_MAX ? cap : (size_t)PSL_SEND_MAX;
    if (limit < PSL_HEADER_SIZE + (size_t)form->length) return -1;
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.flags = PSL_FLAG_SCRAMBLED;
    h.type = msg->type;
    h.route = form->route;
    for (size_t i = 0; i < n; ++i) {
        if (!values[i].name) return -1;
        bool known = false;
        if (!headerValue(values[i], &h, &known)) return -1;
        if (known) continue;
        bool extraInput =
            msg->type == 0x1008 && (!strcmp(values[i].name, "groupIds") ||
                                    !strcmp(values[i].name, "servers") || !strcmp(values[i].name, "blob"));
        if (!extraInput && !isFormInput(form, values[i].name)) return -1;  // a misspelt field is an error
    }
    uint8_t *p = out + PSL_HEADER_SIZE;
    memset(p, 0, limit - PSL_HEADER_SIZE);
    size_t length = form->length;
    for (size_t i = 0; i < form->fieldCount; ++i) {
        const PslFieldDef &f = form->fields[i];
        uint8_t *at = p + f.offset;
        if (f.kind == PSL_CONST8) {
            *at = (uint8_t)f.constant;
            continue;
        }
        if (f.kind == PSL_CONST32) {
            psl_PutU32(at, f.constant);
            continue;
        }
        if (f.kind == PSL_CONSTTEXT) {
            memcpy(at, f.text, f.width);
            continue;
        }
        const PslValue *v = find(values, n, f.name);
        if (!v) continue;  // fields not given stay zero
        switch (f.kind) {
            case PSL_U8:
                if (!fitsUnsigned(v->num, 1)) return -1;
                *at = (uint8_t)v->num;
                break;
            case PSL_U16:
                if (!fitsUnsigned(v->num, 2)) return -1;
                psl_PutU16(at, (uint16_t)v->num);
                break;
            case PSL_U32:
                if (!fitsUnsigned(v->num, 4)) return -1;
                psl_PutU32(at, (uint32_t)v->num);
                break;
            case PSL_I32:
                if (v->num < INT32_MIN || v->num > INT32_MAX) return -1;
                psl_PutU32(at, (uint32_t)(int32_t)v->num);
                break;
            case PSL_TEXT:
            case PSL_BYTES:
            case PSL_ADDR:
                if (v->len > f.width || (f.kind == PSL_ADDR && v->len != 16)) return -1;
                copyIn(at, v->bytes, v->len);
                break;
            case PSL_ADDRS:
                if (v->len > (size_t)f.width * 16 || v->len % 16) return -1;
                copyIn(at, v->bytes, v->len);
                break;
            case PSL_U32S:
                if (v->count > f.width) return -1;
                for (size_t k = 0; k < v->count; ++k) psl_PutU32(at + 4 * k, v->words[k]);
                break;
            case PSL_TAIL:
            case PSL_ADDRLIST:
                if (f.offset + v->len > limit - PSL_HEADER_SIZE || (f.kind == PSL_ADDRLIST && v->len % 16))
                    return -1;
                if (f.kind == PSL_TAIL && f.width && v->len > f.width) return -1;
                copyIn(at, v->bytes, v->len);
                if (f.offset + v->len > length) length = f.offset + v->len;
                break;
            default:
                return -1;
        }
    }
    if (msg->type == 0x1008) {
        int r = buildGroupRecords(values, n, p + 56, limit - PSL_HEADER_SIZE - 56);
        if (r < 0) return -1;
        length = 56 + (size_t)r;
    }
    h.length = (uint16_t)length;
    psl_Header_Write(out, &h);
    return (int)(PSL_HEADER_SIZE + length);
}

int psl_Msg_Get(const PslFormDef *form, const uint8_t *payload, size_t len, const char *name, PslValue *out) {
    const PslFieldDef *f = psl_Form_Field(form, name);
    if (!f || !out || (!payload && len)) return -1;
    *out = PslValue{};
    out->name = f->name;
    const uint8_t *at = payload + f->offset;
    size_t need = f->kind == PSL_ADDRS  ? (size_t)f->width * 16
                  : f->kind == PSL_U32S ? (size_t)f->width * 4
                                        : f->width;
    if (f->kind == PSL_TAIL || f->kind == PSL_ADDRLIST) need = 0;
    if ((size_t)f->offset + need > len) return -1;
    switch (f->kind) {
        case PSL_U8:
            out->num = *at;
            break;
        case PSL_U16:
            out->num = psl_GetU16(at);
            break;
        case PSL_U32:
            out->num = psl_GetU32(at);
            break;
        case PSL_I32:
            out->num = (int32_t)psl_GetU32(at);
            break;
        case PSL_TEXT:
            out->bytes = at;
            out->len = strnlen(reinterpret_cast<const char *>(at), f->width);  // stops at a NUL or the width
            break;
        case PSL_BYTES:
        case PSL_ADDR:
        case PSL_ADDRS:
            out->bytes = at;
            out->len = need;
            break;
        case PSL_U32S:
            out->bytes = at;
            out->count = f->width;
            break;
        case PSL_TAIL:
            out->bytes = at;
            out->len = len - f->offset;
            break;
        case PSL_ADDRLIST: {
            // As many addresses as the count field says, never more than the payload holds.
            size_t room = (len - f->offset) / 16;
            PslValue count{};
            size_t want = room;
            if (psl_Msg_Get(form, payload, len, "serverCount", &count) == 0) want = (size_t)count.num;
            out->bytes = at;
            out->count = want < room ? want : room;
            out->len = out->count * 16;
            break;
        }
        default:
            return -1;
    }
    return 0;
}

int psl_ReadQueryGroupR(const uint8_t *payload, size_t len, PslGroupRecords *out) {
    if (!payload || !out || len < 56) return -1;
    *out = PslGroupRecords{};
    memcpy(out->uid, payload, PSL_UID_LEN);
    out->addr = payload + 36;
    out->recordCount = psl_GetU16(payload + 54);
    size_t at = 56;
    for (uint16_t r = 0; r < out->recordCount; ++r) {
        if (len - at < 4) return -1;
        uint8_t kind = payload[at];
        size_t vlen = psl_GetU16(payload + at + 2);
        if (len - at - 4 < vlen) return -1;  // a record running past the payload
        const uint8_t *v = payload + at + 4;
        if (kind == 1 && vlen >= 6) {
            out->hasGroupIds = 1;
            for (int i = 0; i < 3; ++i) out->groupIds[i] = psl_GetU16(v + 2 * i);
        } else if (kind == 2) {
            out->servers = v;
            out->serverCount = vlen / 16;
        } else if (kind == 3) {
            out->blob = v;
            out->blobLen = vlen;
        }
        at += 4 + vlen;
    }
    return 0;
}

int psl_DataPayload(const PSLPacketHeader *hdr, const uint8_t *payload, size_t len, const uint8_t **data,
                    size_t *dataLen, uint32_t *randomID, uint32_t *mac) {
    if (!hdr || !data || !dataLen || (!payload && len)) return -1;
    size_t skip = 0;
    if (hdr->flags & PSL_FLAG_SESSION_EXT) {
        if (len < 12) return -1;
        skip = psl_GetU32(payload);
        if (skip < 12 || skip > len) return -1;
        if (randomID) *randomID = psl_GetU32(payload + 4);
        if (mac) *mac = psl_GetU32(payload + 8);
    }
    *data = payload + skip;
    *dataLen = len - skip;
    return 0;
}

int psl_Build_Probe(uint8_t *out, size_t cap, int selector, uint32_t counter, uint16_t instance,
                    uint8_t byte) {
    const PslMsgDef *m = psl_Msg_ByType(selector ? (uint16_t)0x0A01 : (uint16_t)0x8003);
    PslValue v[] = {{"counter", counter, nullptr, 0, nullptr, 0},
                    {"instance", instance, nullptr, 0, nullptr, 0},
                    {"byte", byte, nullptr, 0, nullptr, 0}};
    return psl_Msg_Build(m, &m->forms[0], v, std::size(v), out, cap);
}

static int buildUidValue(uint16_t type, uint8_t *out, size_t cap, const char *uid, uint8_t value) {
    if (!uid) return -1;
    const PslMsgDef *m = psl_Msg_ByType(type);
    PslValue v[] = {{"UID", 0, reinterpret_cast<const uint8_t *>(uid), strnlen(uid, PSL_UID_LEN), nullptr, 0},
                    {"value", value, nullptr, 0, nullptr, 0}};
    return psl_Msg_Build(m, &m->forms[0], v, std::size(v), out, cap);
}

int psl_Build_QueryGroup(uint8_t *out, size_t cap, const char *uid, uint8_t value) {
    return buildUidValue(0x1007, out, cap, uid, value);
}

int psl_Build_QueryGroupV1(uint8_t *out, size_t cap, const char *uid, uint8_t value) {
    return buildUidValue(0x000B, out, cap, uid, value);
}

int psl_Build_Data(uint8_t *out, size_t cap, uint16_t type, uint16_t seq, uint16_t sessionTag,
                   uint8_t channel, int head64, int ext, uint32_t randomID, uint32_t mac, const uint8_t *data,
                   size_t len) {
    const PslMsgDef *m = psl_Msg_ByType(type);
    if (!m || (type != 0x0407 && type != 0x0408 && type != 0x0504 && type != 0x0502)) return -1;
    uint8_t flags =
        (uint8_t)(PSL_FLAG_SCRAMBLED | (head64 ? PSL_FLAG_HEAD64 : 0) | (ext ? PSL_FLAG_SESSION_EXT : 0));
    PslValue v[] = {
        {"seq", seq, nullptr, 0, nullptr, 0},         {"sessionTag", sessionTag, nullptr, 0, nullptr, 0},
        {"channel", channel, nullptr, 0, nullptr, 0}, {"flags", flags, nullptr, 0, nullptr, 0},
        {"data", 0, data, len, nullptr, 0},           {"randomID", randomID, nullptr, 0, nullptr, 0},
        {"mac", mac, nullptr, 0, nullptr, 0}};
    return psl_Msg_Build(m, psl_Msg_Form(m, ext ? "ext" : "noext"), v, ext ? 7 : 5, out, cap);
}

void psl_SetInstance(uint16_t instance) {
    g_instance = instance;
}

int _PSL_SendProbe(LinuxConn *conn, const char *host, uint16_t port, int selector, uint8_t byte) {
    uint8_t pkt[PSL_HEADER_SIZE + 8];
    uint32_t counter = selector ? g_probeCounter++ : g_probeExCounter++;
    int n = psl_Build_Probe(pkt, sizeof pkt, selector, counter, g_instance.load(), byte);
    return n < 0 ? 0 : _PSL_SendPacket(conn, pkt, (uint16_t)n, host, port);
}

int _PSL_SendQueryGroup(LinuxConn *conn, const char *host, uint16_t port, const char *uid, uint8_t value) {
    uint8_t pkt[PSL_HEADER_SIZE + 38];
    int n = psl_Build_QueryGroup(pkt, sizeof pkt, uid, value);
    return n < 0 ? 0 : _PSL_SendPacket(conn, pkt, (uint16_t)n, host, port);
}

int _PSL_SendQueryGroupV1(LinuxConn *conn, const char *host, uint16_t port, const char *uid, uint8_t value) {
    uint8_t pkt[PSL_HEADER_SIZE + 24];
    int n = psl_Build_QueryGroupV1(pkt, sizeof pkt, uid, value);
    return n < 0 ? 0 : _PSL_SendPacket(conn, pkt, (uint16_t)n, host, port);
}
