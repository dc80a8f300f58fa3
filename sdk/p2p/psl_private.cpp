#include "p2p/psl_private.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "p2p/psl_register.h"
#include "p2p/psl_servers.h"

namespace {

using TableLock = PslTableLock;

std::atomic<PSL_LoginSentHook> g_loginHook{nullptr};
std::atomic<PSL_RedirectHook> g_redirectHook{nullptr};
std::atomic<uint8_t> g_answerBitCheck{0};
std::atomic<uint8_t> g_serverPrefersTcp{0};

struct BlobEntry {
    char uid[PSL_UID_LEN];
    std::vector<uint8_t> blob;
};
std::mutex g_blobMu;
std::vector<BlobEntry> g_blobs;

// Wake-up state. The hooks run on the threads that send logins and read answers.
std::mutex g_wakeMu;
std::vector<PSLWakeRecord> g_wakeRecords;
bool g_wakeInit = false;
std::atomic<int> g_wakeBusy{0};
struct WakeKey {
    uint64_t ipv4;
    uint16_t port;
};
std::vector<WakeKey> g_wakeKeys;
PSL_WakeListFn g_wakeCallback = nullptr;
uint32_t g_checkValue = 0;
PSLWakeRecord *g_buildArr = nullptr;  // the last array a build handed out, g_wakeMu
int g_buildCount = 0;

const char kWakeText[12] = {'W', 'a', 'k', 'e', 'U', 'p', 'M', 's', 'g', '!', '!', '!'};

int channel_setter(int sid, int channel, uint32_t magic, void (*apply)(PSLSessionRecord *, int, void *),
                   void *fn) {
    if (magic != PSL_PRIVATE_MAGIC || sid < 0 || channel < 0 || channel >= PSL_CHANNELS) return -1;
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    TableLock lk;
    PSLSessionRecord *r = _PSL_Session(sid);
    if (!r) return PSL_ERR_SESSION;
    apply(r, channel, fn);
    return 0;
}

void free_record(PSLWakeRecord &r) {
    free(r.packet);
    free(r.block);
    r.packet = r.block = nullptr;
}

void login_sent(const uint8_t *packet, int length, uint32_t ipv4, uint16_t port, int busy) {
    std::lock_guard<std::mutex> lk(g_wakeMu);
    g_wakeBusy = busy;
    if (busy || !g_wakeInit) return;
    for (const PSLWakeRecord &r : g_wakeRecords)
        if (r.serverAddr == ipv4) return;
    PSLWakeRecord rec{};
    if (_PSL_WakeRecord_Build(packet, length, ipv4, port, &rec) != 0) return;
    g_wakeRecords.push_back(rec);
}

int redirect_seen(uint32_t ipv4, uint16_t port) {
    std::lock_guard<std::mutex> lk(g_wakeMu);
    for (const WakeKey &k : g_wakeKeys)
        if (k.ipv4 == ipv4 && k.port == port) return (int)g_wakeKeys.size();
    // A 33rd distinct server is not kept: the table holds 32 keys.
    if (g_wakeKeys.size() < PSL_WAKE_KEYS) g_wakeKeys.push_back({ipv4, port});
    return (int)g_wakeKeys.size();
}

// The end of the login check: one record per server that answered with the redirect bit.
void wake_done() {
    PSL_WakeListFn cb;
    std::vector<WakeKey> keys;
    uint32_t check;
    {
        std::lock_guard<std::mutex> lk(g_wakeMu);
        cb = g_wakeCallback;
        keys = g_wakeKeys;
        check = g_checkValue;
    }
    PSL_RedirectHook expect = redirect_seen;
    g_redirectHook.compare_exchange_strong(expect, nullptr);
    if (!cb) return;
    if (keys.empty()) {
        cb(nullptr, 0, PSL_ERR_TIMEOUT);
        return;
    }
    uint8_t pkt[PSL_HEADER_SIZE + 24] = {};
    PSLPacketHeader h{};
    h.magic = PSL_MAGIC;
    h.version = PSL_VERSION;
    h.length = 24;
    h.type = 0x0114;
    h.route = 0x14;
    psl_Header_Write(pkt, &h);
    psl_PutU32(pkt + PSL_HEADER_SIZE + 20, check);
    auto *arr = static_cast<PSLWakeRecord *>(calloc(keys.size(), sizeof(PSLWakeRecord)));
    if (!arr) {
        cb(nullptr, 0, PSL_ERR_TIMEOUT);
        return;
    }
    int n = 0;
    for (const WakeKey &k : keys)
        if (_PSL_WakeRecord_Build(pkt, sizeof pkt, (uint32_t)k.ipv4, k.port, &arr[n]) == 0) ++n;
    {
        std::lock_guard<std::mutex> lk(g_wakeMu);
        g_buildArr = arr;
        g_buildCount = n;
    }
    cb(arr, n, 0);
}

}  // namespace

int PSL_Private_Set_Channel_Recv_Callback(int sid, int channel, PSL_ChannelRecvFn cb, uint32_t magic) {
    return channel_setter(
        sid, channel, magic,
        [](PSLSessionRecord *r, int c, void *f) { r->channelRecvCallback[c] = (PSL_ChannelRecvFn)f; },
        (void *)cb);
}

int PSL_Private_Set_Channel_Idle_Callback(int sid, int channel, PSL_ChannelIdleFn cb, uint32_t magic) {
    return channel_setter(
        sid, channel, magic,
        [](PSLSessionRecord *r, int c, void *f) {
            r->channelIdleCallback[c] = (PSL_ChannelIdleFn)f;
            r->channelIdlePending[c] = 0;
        },
        (void *)cb);
}

int PSL_Private_Set_Channel_Close_Callback(int sid, int channel, PSL_ChannelCloseFn cb, uint32_t magic) {
    return channel_setter(
        sid, channel, magic,
        [](PSLSessionRecord *r, int c, void *f) { r->channelCloseCallback[c] = (PSL_ChannelCloseFn)f; },
        (void *)cb);
}

int PSL_Private_Set_LoginSentHook(PSL_LoginSentHook hook, uint32_t magic) {
    if (magic != PSL_PRIVATE_MAGIC) return -1;
    PSL_LoginSentHook expect = nullptr;
    return g_loginHook.compare_exchange_strong(expect, hook) ? 0 : 1;
}
int PSL_Private_Clear_LoginSentHook(uint32_t magic) {
    if (magic != PSL_PRIVATE_MAGIC) return -1;
    g_loginHook = nullptr;
    return 0;
}
int PSL_Private_Set_RedirectHook(PSL_RedirectHook hook, uint32_t magic) {
    if (magic != PSL_PRIVATE_MAGIC) return -1;
    PSL_RedirectHook expect = nullptr;
    return g_redirectHook.compare_exchange_strong(expect, hook) ? 0 : 1;
}
int PSL_Private_Clear_RedirectHook(uint32_t magic) {
    if (magic != PSL_PRIVATE_MAGIC) return -1;
    g_redirectHook = nullptr;
    return 0;
}
int PSL_Private_Set_AnswerBitCheck(uint32_t magic, uint8_t value) {
    if (magic != PSL_PRIVATE_MAGIC) return -1;
    g_answerBitCheck = value;
    return 0;
}
int PSL_Private_Get_ServerPrefersTcp(uint32_t magic) {
    if (magic != PSL_PRIVATE_MAGIC) return 1;
    return g_serverPrefersTcp.load();
}
int PSL_Private_Set_ConnMgr_Timeout(int ms, void *) {
    LinuxConnMgr *mgr = _PSL_ConnMgr();
    return mgr ? LinuxConnMgr_setTimeout(mgr, ms) : ms;
}

PSL_LoginSentHook _PSL_LoginSentHook(void) {
    return g_loginHook.load();
}
PSL_RedirectHook _PSL_RedirectHook(void) {
    return g_redirectHook.load();
}
int _PSL_AnswerBitCheck(void) {
    return g_answerBitCheck.load();
}
void _PSL_SetServerPrefersTcp(int on) {
    g_serverPrefersTcp = on ? 1 : 0;
}

void _PSL_SessionKey_Set(PslSessionKey *key, int kind, uint32_t word0, uint32_t word1) {
    if (!key) return;
    key->kind = kind;
    key->word0 = kind == 1 ? (word0 & 0xFFFF) : word0;
    key->word1 = kind == 1 ? 0 : word1;
}

int _PSL_SessionKey_Equal(const PslSessionKey *a, const PslSessionKey *b) {
    if (!a || !b || a->kind != b->kind) return 0;
    return a->kind == 0 ? a->word0 == b->word0 && a->word1 == b->word1 : a->word0 == b->word0;
}

void _PSL_BlobTable_Set(const char *uid, const uint8_t *blob, int length, uint32_t magic) {
    if (magic != PSL_PRIVATE_MAGIC || !uid || length < 0 || (length > 0 && !blob)) return;
    std::lock_guard<std::mutex> lk(g_blobMu);
    for (BlobEntry &e : g_blobs) {
        if (strncmp(e.uid, uid, PSL_UID_LEN) != 0) continue;
        e.blob.assign(blob, blob + length);
        return;
    }
    BlobEntry e{};
    memcpy(e.uid, uid, strnlen(uid, PSL_UID_LEN));  // a full-length UID has no terminator here
    e.blob.assign(blob, blob + length);
    g_blobs.push_back(std::move(e));
}

int _PSL_BlobTable_Get(const char *uid, uint8_t *out, int cap) {
    if (!uid) return -1;
    std::lock_guard<std::mutex> lk(g_blobMu);
    for (const BlobEntry &e : g_blobs) {
        if (strncmp(e.uid, uid, PSL_UID_LEN) != 0) continue;
        if (out && cap > 0)
            memcpy(out, e.blob.data(), e.blob.size() < (size_t)cap ? e.blob.size() : (size_t)cap);
        return (int)e.blob.size();
    }
    return -1;
}

int _PSL_BlobTable_Count(void) {
    std::lock_guard<std::mutex> lk(g_blobMu);
    return (int)g_blobs.size();
}

void _PSL_BlobTable_Free(void) {
    std::lock_guard<std::mutex> lk(g_blobMu);
    g_blobs.clear();
    g_blobs.shrink_to_fit();
}

int _PSL_WakeRecord_Build(const uint8_t *packet, int length, uint32_t serverIPv4Net, uint16_t port,
                          PSLWakeRecord *out) {
    if (!packet || length < PSL_HEADER_SIZE || length > PSL_SEND_MAX || !out) return -1;
    PSLPacketHeader h{};
    psl_Header_Read(packet, &h);
    const bool head64 = (h.flags & PSL_FLAG_HEAD64) != 0;
    std::vector<uint8_t> copy(packet, packet + length);
    copy[3] = (uint8_t)(copy[3] | PSL_FLAG_SCRAMBLED);
    // A login asks the server to answer through the redirect hook.
    if (h.type == 0x0105 && length > PSL_HEADER_SIZE + 204) copy[PSL_HEADER_SIZE + 204] |= 1;
    auto *pkt = static_cast<uint8_t *>(malloc((size_t)length));
    auto *block = static_cast<uint8_t *>(calloc(48, 1));
    if (!pkt || !block) {
        free(pkt);
        free(block);
        return -1;
    }
    _PSL_Scramble(copy.data(), pkt, (uint16_t)length, head64 ? (uint16_t)PSL_HEAD64_LIMIT : (uint16_t)length);
    uint8_t plain[48] = {}, scrambled[48] = {};
    if (length >= 36) memcpy(plain + 16, packet + 16, PSL_UID_LEN);
    memcpy(plain + 36, kWakeText, sizeof kWakeText);
    _PSL_Scramble(plain, scrambled, 48, 48);
    memcpy(block + 32, scrambled + 32, 16);
    *out = PSLWakeRecord{serverIPv4Net, port, (uint32_t)length, pkt, 25, 48, block};
    return 0;
}

int PSL_Private_WakeList_Init(void) {
    std::lock_guard<std::mutex> lk(g_wakeMu);
    for (PSLWakeRecord &r : g_wakeRecords) free_record(r);
    g_wakeRecords.clear();
    g_wakeKeys.clear();
    g_wakeInit = true;
    PSL_LoginSentHook expect = nullptr;
    g_loginHook.compare_exchange_strong(expect, login_sent);
    return 0;
}

int PSL_Private_WakeList_Get(PSLWakeRecord **out, int *count) {
    if (!out || !count) return PSL_ERR_INVALID;
    std::lock_guard<std::mutex> lk(g_wakeMu);
    if (!g_wakeInit) return PSL_ERR_WAKE_NOT_INIT;
    if (g_wakeBusy.load()) return PSL_ERR_WAKE_BUSY;
    *out = g_wakeRecords.empty() ? nullptr : g_wakeRecords.data();
    *count = (int)g_wakeRecords.size();
    return 0;
}

int PSL_Private_WakeList_Free(PSLWakeRecord *records) {
    std::lock_guard<std::mutex> lk(g_wakeMu);
    if (records && records == g_buildArr) {
        for (int i = 0; i < g_buildCount; ++i) free_record(records[i]);
        free(records);
        g_buildArr = nullptr;
        g_buildCount = 0;
    }
    for (PSLWakeRecord &r : g_wakeRecords) free_record(r);
    g_wakeRecords.clear();
    g_loginHook = nullptr;
    g_redirectHook = nullptr;
    g_wakeInit = false;
    return 0;
}

int PSL_Private_WakeList_Build(PSL_WakeListFn callback, int limitMs) {
    if (!callback || limitMs < 0) return PSL_ERR_INVALID;
    if (!_PSL_Running()) return PSL_ERR_NOT_INIT;
    if (limitMs == 0) limitMs = 6000;
    uint32_t check = 0;
    {
        std::lock_guard<std::mutex> lk(g_wakeMu);
        g_checkValue = _PSL_NewCheckValue(PSL_PRIVATE_MAGIC);
        check = g_checkValue;
        g_wakeKeys.clear();
        g_wakeCallback = callback;
    }
    PSL_RedirectHook expect = nullptr;
    g_redirectHook.compare_exchange_strong(expect, redirect_seen);
    return _PSL_LoginCheck_Start(wake_done, &check, limitMs);
}

int PSL_Private_WakeList_KeyCount(void) {
    std::lock_guard<std::mutex> lk(g_wakeMu);
    return (int)g_wakeKeys.size();
}

void _PSL_Private_Stop(void) {
    _PSL_BlobTable_Free();
    std::lock_guard<std::mutex> lk(g_wakeMu);
    for (PSLWakeRecord &r : g_wakeRecords) free_record(r);
    g_wakeRecords.clear();
    g_wakeKeys.clear();
    g_wakeInit = false;
    g_wakeCallback = nullptr;
    g_loginHook = nullptr;
    g_redirectHook = nullptr;
    g_answerBitCheck = 0;
    g_serverPrefersTcp = 0;
}
