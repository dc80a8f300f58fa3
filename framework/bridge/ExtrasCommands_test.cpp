// The hidden space, share links and the recycle bin over the scripted SDK, through the storage service:
// one table per family of request -> SDK call and arguments -> scripted outcome -> answer code, command,
// data and thread; then the recycle progress, the key lists and what the bridge frees.
#include <gtest/gtest.h>

#include <limits>

#include "broker/broker_test_util.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasFileListInfo.h"
#include "model/QVNasShareFileInfo.h"
#include "platform/MainQueue.h"
#include "service/QVNasStorageService.h"

using namespace fwtest;

namespace {

using Send = std::function<QVNasRequestInfoPtr(QVNasStorageService &, QVNasCompletionBlock)>;
using Script = std::function<void(FakeDeviceSdk &)>;
using Check = std::function<void(const QVNasResponseInfo &)>;

struct Row {
    const char *name;
    Script script;
    Send send;
    int32_t handleCommand;  // of the request handle
    int32_t command;        // of the answer
    int64_t code;
    Check check;
    const char *sdkFunction;
    std::vector<std::string> sdkArgs = {};  // its first arguments
    size_t sdkCalls = 1;
};

Script result(const char *fn, int r) {
    return [fn, r](FakeDeviceSdk &f) { f.script(fn, r); };
}
Script extras(std::function<void(FakeDeviceSdk::ExtrasOutputs &)> edit) {
    return [edit](FakeDeviceSdk &f) { f.editExtras(edit); };
}
void noData(const QVNasResponseInfo &r) {
    EXPECT_FALSE(r.responseData.isValid()) << "unexpected data";
}
Check number(qlonglong v) {
    return [v](const QVNasResponseInfo &r) { EXPECT_EQ(r.responseData.toLongLong(), v); };
}
// A request the service returns void for: the handle is not checked.
template <typename F>
Send voidSend(F f) {
    return [f](QVNasStorageService &s, QVNasCompletionBlock done) {
        f(s, std::move(done));
        return QVNasRequestInfoPtr{};
    };
}
QVNasFileInfoPtr file(const char *path, int64_t userId) {
    auto f = std::make_shared<QVNasFileInfo>();
    f->path = QString::fromUtf8(path);
    f->userId = userId;
    return f;
}
QVNasShareFileInfoPtr shareWithId(uint64_t id) {
    auto s = std::make_shared<QVNasShareFileInfo>();
    s->shareId = id;
    s->shareUrl = QStringLiteral("http://d/s/%1").arg(id);
    return s;
}
QList<QVNasRecycleFileInfoPtr> keys(std::initializer_list<int32_t> ks) {
    QList<QVNasRecycleFileInfoPtr> out;
    for (int32_t k : ks) {
        auto e = std::make_shared<QVNasRecycleFileInfo>();
        e->resyscleKey = k;
        e->name = QStringLiteral("n%1").arg(k);
        out << e;
    }
    return out;
}

class ExtrasCommands : public ServiceOnFake {
  protected:
    void SetUp() override {
        ServiceOnFake::SetUp();
        bridge().setSrcToken(777);
    }
    void TearDown() override {
        ServiceOnFake::TearDown();
        bridge().setSrcToken(0);
    }
    void runRows(const std::vector<Row> &rows) {
        QVNasStorageService storage;
        for (const Row &row : rows) {
            SCOPED_TRACE(row.name);
            fake = std::make_shared<FakeDeviceSdk>();
            bridge().setDeviceSdk(fake);
            if (row.script) row.script(*fake);
            auto a = std::make_shared<Answer>();
            bool onMain = false;
            const auto handle = row.send(storage, [a, &onMain](const QVNasResponseInfoPtr &r) {
                onMain = plat::isMainThread();
                a->completion()(r);
            });
            ASSERT_TRUE(a->wait());
            const auto r = a->get();
            if (handle) {
                EXPECT_EQ(handle->clientCommand, row.handleCommand);
            }
            EXPECT_TRUE(onMain);
            EXPECT_EQ(r->clientCommand, row.command);
            EXPECT_EQ(r->responseCode, row.code);
            if (row.check) row.check(*r);
            const auto calls = fake->callsOf(row.sdkFunction);
            ASSERT_EQ(calls.size(), row.sdkCalls) << row.sdkFunction;
            if (row.sdkCalls == 0) continue;
            EXPECT_NE(calls[0].thread, std::this_thread::get_id());
            for (size_t i = 0; i < row.sdkArgs.size(); ++i) {
                ASSERT_LT(i, calls[0].args.size());
                EXPECT_EQ(calls[0].args[i], row.sdkArgs[i]) << "argument " << i;
            }
            EXPECT_EQ(fake->liveExtras(), 0) << "records left unfreed";
        }
    }
};

TEST_F(ExtrasCommands, HiddenSpaceRequestsAnswerTheirCodesAndData) {
    const FakeDeviceSdk::Page dots{3, 3, {{".a", 1, 1}, {"b", 2, 2}, {".c", 3, 3}}};
    auto hidePage = [](const QVNasResponseInfo &r) {
        const auto p = r.responseData.value<QVNasFileListInfoPtr>();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->count, 3);
        EXPECT_EQ(p->totalCount, 3);
        ASSERT_EQ(p->fileList.size(), 1);
        EXPECT_EQ(p->fileList[0]->name, "b");
    };
    auto emptyPage = [](const QVNasResponseInfo &r) {
        const auto p = r.responseData.value<QVNasFileListInfoPtr>();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->count, 0);
        EXPECT_EQ(p->totalCount, 0);
        EXPECT_TRUE(p->fileList.isEmpty());
    };
    auto hideInfo = [](const char *nick, int64_t bucket) {
        return [=](const QVNasResponseInfo &r) {
            const auto u = r.responseData.value<QVNasDeviceUserInfoPtr>();
            ASSERT_TRUE(u);
            EXPECT_EQ(u->nick_name, QString::fromUtf8(nick));
            EXPECT_EQ(u->user_id, bucket);
        };
    };
    const auto folder = QVNasPathInfo::sharePath(QStringLiteral("/secret"), 1001);
    runRows({
        {"enabled",
         extras([](auto &e) { e.hideEnabled = 1; }),
         [](auto &s, auto d) { return s.qvNasGetHideSpaceEnable(d); },
         175,
         175,
         0,
         number(1),
         "ppc_HideSpaceIsEnable",
         {"777"}},
        {"enabled: flag 0", extras([](auto &e) { e.hideEnabled = 0; }),
         [](auto &s, auto d) { return s.qvNasGetHideSpaceEnable(d); }, 175, 175, 0, number(0),
         "ppc_HideSpaceIsEnable"},
        {"enabled: user unknown", result("ppc_HideSpaceIsEnable", 13002),
         [](auto &s, auto d) { return s.qvNasGetHideSpaceEnable(d); }, 175, 175, 113002, noData,
         "ppc_HideSpaceIsEnable"},
        {"turn on: already on",
         result("ppc_HideSpaceEnable", 10013),
         voidSend([](auto &s, auto d) { s.qvNasTurnOnHideSpace(d); }),
         0,
         176,
         110013,
         noData,
         "ppc_HideSpaceEnable",
         {"777"}},
        {"password status", extras([](auto &e) { e.pwdSet = 0; }),
         voidSend([](auto &s, auto d) { s.qvNasGetHideSpacePasswordStatus(d); }), 0, 177, 0, number(0),
         "ppc_HideSpacePwdIsSet"},
        {"password status: user unknown", result("ppc_HideSpacePwdIsSet", 13002),
         voidSend([](auto &s, auto d) { s.qvNasGetHideSpacePasswordStatus(d); }), 0, 177, 113002, noData,
         "ppc_HideSpacePwdIsSet"},
        {"set password",
         nullptr,
         voidSend([](auto &s, auto d) { s.qvNasSetHideSpacePassword("s3cret-pw", d); }),
         0,
         178,
         0,
         noData,
         "ppc_HideSpacePwdSet",
         {"s3cret-pw", "777"}},
        {"set password: refused by the SDK", result("ppc_HideSpacePwdSet", -1),
         voidSend([](auto &s, auto d) { s.qvNasSetHideSpacePassword("12345", d); }), 0, 178, -1, noData,
         "ppc_HideSpacePwdSet"},
        {"sms code",
         nullptr,
         [](auto &s, auto d) { return s.qvNasGetRouterSmsVerifyCode(d); },
         179,
         179,
         0,
         noData,
         "ppc_RouterSmsVerifyCode",
         {"777"}},
        {"reset: wrong code",
         result("ppc_HideSpacePwdReset", 10016),
         [](auto &s, auto d) { return s.qvNasResetHideSpacePasswordByVerifyCode("123456", "n3w-pw", d); },
         180,
         180,
         110016,
         noData,
         "ppc_HideSpacePwdReset",
         {"123456", "n3w-pw", "777"}},
        {"login: wrong password",
         result("ppc_HideSpaceLogin", 10017),
         [](auto &s, auto d) { return s.qvNasLoginHideSpaceByPassword("wr0ng-pw", d); },
         181,
         181,
         110017,
         noData,
         "ppc_HideSpaceLogin",
         {"wr0ng-pw", "777"}},
        {"logout: not logged in", result("ppc_HideSpaceLogout", 10019),
         [](auto &s, auto d) { return s.qvNasLogoutHideSpace(d); }, 182, 182, 110019, noData,
         "ppc_HideSpaceLogout"},
        {"information", extras([](auto &e) { e.hideNickName = "vault"; }),
         voidSend([](auto &s, auto d) { s.qvNasGetHideSpaceInfo(d); }), 0, 183, 0, hideInfo("vault", 1001),
         "ppc_GetHideSpaceInfo"},
        {"information: no record", extras([](auto &e) { e.hideInfoRecord = false; }),
         voidSend([](auto &s, auto d) { s.qvNasGetHideSpaceInfo(d); }), 0, 183, 0, hideInfo("", 0),
         "ppc_GetHideSpaceInfo"},
        {"information: not logged in", result("ppc_GetHideSpaceInfo", 10019),
         voidSend([](auto &s, auto d) { s.qvNasGetHideSpaceInfo(d); }), 0, 183, 110019, noData,
         "ppc_GetHideSpaceInfo"},
        {"folder page: two dot names",
         extras([&](auto &e) { e.hidePage = dots; }),
         [&](auto &s, auto d) { return s.qvNasGetHideSpaceFileListByStartIndex(5, 20, folder, 4, d); },
         184,
         184,
         0,
         hidePage,
         "ppc_hideSpaceFileGetList",
         {"/secret", "1001", "5", "20", "4", "777"}},
        {"folder page: failed", result("ppc_hideSpaceFileGetList", 10019),
         [&](auto &s, auto d) { return s.qvNasGetHideSpaceFileListByStartIndex(0, 20, folder, 0, d); }, 184,
         184, 110019, emptyPage, "ppc_hideSpaceFileGetList"},
        {"folder page: bucket beyond 32 bits",
         nullptr,
         [](auto &s, auto d) {
             return s.qvNasGetHideSpaceFileListByStartIndex(
                 0, 20, QVNasPathInfo::sharePath(QStringLiteral("/x"), int64_t{1} << 32), 0, d);
         },
         184,
         184,
         -1,
         emptyPage,
         "ppc_hideSpaceFileGetList",
         {},
         0},
    });
}

TEST_F(ExtrasCommands, ShareRequestsAnswerTheirCodesAndData) {
    FakeDeviceSdk::Share created;
    created.url = "http://d/s/9";
    created.password = "pw1009";
    created.hasPw = 1;
    created.expect = 604800;
    created.createTime = 1700000000;
    created.name = "a.txt and 1 more";
    created.status = 0;
    auto createdShare = [](const QVNasResponseInfo &r) {
        const auto s = r.responseData.value<QVNasShareFileInfoPtr>();
        ASSERT_TRUE(s);
        EXPECT_EQ(s->shareId, 0u);
        EXPECT_EQ(s->shareUrl, "http://d/s/9");
        EXPECT_EQ(s->sharePw, "pw1009");
        EXPECT_TRUE(s->shareHasPw);
        EXPECT_EQ(s->shareExpect, 604800u);
        EXPECT_EQ(s->shareName, "a.txt and 1 more");
        EXPECT_EQ(s->shareFileCount, 0);
    };
    auto unsetShare = [](const QVNasResponseInfo &r) {
        const auto s = r.responseData.value<QVNasShareFileInfoPtr>();
        ASSERT_TRUE(s);
        EXPECT_TRUE(s->shareUrl.isEmpty());
        EXPECT_EQ(s->shareId, 0u);
    };
    std::vector<FakeDeviceSdk::Share> three(3);
    for (int i = 0; i < 3; ++i) {
        three[static_cast<size_t>(i)].id = static_cast<uint64_t>(i + 1);
        three[static_cast<size_t>(i)].name = "share " + std::to_string(i + 1);
        three[static_cast<size_t>(i)].fileCount = i + 1;
    }
    auto deviceOrder = [](const QVNasResponseInfo &r) {
        const auto list = r.responseData.value<QList<QVNasShareFileInfoPtr>>();
        ASSERT_EQ(list.size(), 3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(list[i]->shareId, static_cast<uint64_t>(i + 1));
            EXPECT_EQ(list[i]->shareUserId, static_cast<uint64_t>(i + 1));
            EXPECT_EQ(list[i]->shareFileCount, i + 1);
        }
    };
    auto emptyList = [](const QVNasResponseInfo &r) {
        ASSERT_TRUE(r.responseData.isValid());
        EXPECT_TRUE(r.responseData.value<QList<QVNasShareFileInfoPtr>>().isEmpty());
    };
    const QList<QVNasFileInfoPtr> two{file("/docs/a.txt", 1), file("/docs/b.txt", 7)};
    runRows({
        {"create: password, seven days",
         extras([&](auto &e) { e.created = created; }),
         [&](auto &s, auto d) { return s.qvNasCreateShareByFileList(two, 1026, 1027, d); },
         185,
         185,
         0,
         createdShare,
         "ppc_createShare",
         {"/docs/a.txt@1,/docs/b.txt@7", "2", "2", "1", "604800", "777"}},
        {"create: no password, permanent",
         nullptr,
         [&](auto &s, auto d) { return s.qvNasCreateShareByFileList(two, 1025, 1028, d); },
         185,
         185,
         0,
         nullptr,
         "ppc_createShare",
         {"/docs/a.txt@1,/docs/b.txt@7", "2", "2", "0", "0"}},
        {"create: no files",
         nullptr,
         [](auto &s, auto d) { return s.qvNasCreateShareByFileList({}, 1025, 1028, d); },
         185,
         185,
         0,
         nullptr,
         "ppc_createShare",
         {"", "0", "0"}},
        {"create: failed", result("ppc_createShare", 14000),
         [&](auto &s, auto d) { return s.qvNasCreateShareByFileList(two, 1025, 1028, d); }, 185, 185, 114000,
         unsetShare, "ppc_createShare"},
        {"create: bucket beyond 32 bits",
         nullptr,
         [](auto &s, auto d) {
             return s.qvNasCreateShareByFileList({file("/a", (int64_t{1} << 32) + 1)}, 1025, 1028, d);
         },
         185,
         185,
         -1,
         unsetShare,
         "ppc_createShare",
         {},
         0},
        {"list: device order",
         extras([&](auto &e) { e.shares = three; }),
         [](auto &s, auto d) { return s.qvNasGetShareListByStartIndex(10, 100, d); },
         186,
         186,
         0,
         deviceOrder,
         "ppc_getShareList",
         {"10", "100", "777"}},
        {"list: failed", result("ppc_getShareList", 14000),
         [](auto &s, auto d) { return s.qvNasGetShareListByStartIndex(0, 100, d); }, 186, 186, 114000,
         emptyList, "ppc_getShareList"},
        {"cancel: handle 185, answer 187",
         nullptr,
         [](auto &s, auto d) { return s.qvNasCancelShareByShareInfo(shareWithId(5), d); },
         185,
         187,
         0,
         noData,
         "ppc_cancelShare",
         {"5", "http://d/s/5", "777"}},
        {"cancel: largest 32-bit id",
         nullptr,
         [](auto &s, auto d) {
             return s.qvNasCancelShareByShareInfo(shareWithId(std::numeric_limits<int32_t>::max()), d);
         },
         185,
         187,
         0,
         noData,
         "ppc_cancelShare",
         {"2147483647"}},
        {"cancel: id beyond 32 bits refused",
         nullptr,
         [](auto &s, auto d) {
             return s.qvNasCancelShareByShareInfo(shareWithId((uint64_t{1} << 32) + 5), d);
         },
         185,
         187,
         -1,
         noData,
         "ppc_cancelShare",
         {},
         0},
        {"cancel: id 2^31 refused",
         nullptr,
         [](auto &s, auto d) { return s.qvNasCancelShareByShareInfo(shareWithId(uint64_t{1} << 31), d); },
         185,
         187,
         -1,
         noData,
         "ppc_cancelShare",
         {},
         0},
        {"cancel: failed", result("ppc_cancelShare", 14000),
         [](auto &s, auto d) { return s.qvNasCancelShareByShareInfo(shareWithId(5), d); }, 185, 187, 114000,
         noData, "ppc_cancelShare"},
    });
}

TEST_F(ExtrasCommands, RecycleRequestsAnswerTheirCodesAndData) {
    auto settings = [](const QVNasResponseInfo &r) {
        const auto info = r.responseData.value<QVNasRecycleInfoPtr>();
        ASSERT_TRUE(info);
        EXPECT_EQ(info->defaultSurviveTime, 45);
        ASSERT_EQ(info->recycleSpaceTypeInfoList.size(), 2);
        EXPECT_EQ(info->recycleSpaceTypeInfoList[0]->bucket_id, 1);
        EXPECT_EQ(info->recycleSpaceTypeInfoList[1]->bucket_id, 7);
        EXPECT_EQ(info->recycleSpaceTypeInfoList[1]->recycleSpaceType, 2);
    };
    auto unsetSettings = [](const QVNasResponseInfo &r) {
        const auto info = r.responseData.value<QVNasRecycleInfoPtr>();
        ASSERT_TRUE(info);
        EXPECT_EQ(info->defaultSurviveTime, 0);
        EXPECT_TRUE(info->recycleSpaceTypeInfoList.isEmpty());
    };
    std::vector<FakeDeviceSdk::RecycleItem> items(2);
    items[0] = {11, 1, 0, 100, 5, 6, 7, std::string("a.txt"), std::string("/docs/a.txt")};
    items[1] = {12, 7, 1, 0, 8, 9, 10, std::nullopt, std::nullopt};
    auto recyclePage = [](const QVNasResponseInfo &r) {
        const auto p = r.responseData.value<QVNasRecycleFileListInfoPtr>();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->startIndex, 0);  // as the SDK leaves it
        EXPECT_EQ(p->count, 2);
        EXPECT_EQ(p->totalCount, 40);
        ASSERT_EQ(p->recycleFileList.size(), 2);
        const auto &a = *p->recycleFileList[0];
        EXPECT_EQ(a.resyscleKey, 11);
        EXPECT_EQ(a.bucketId, 1);
        EXPECT_EQ(a.size, 100);
        EXPECT_EQ(a.name, "a.txt");
        EXPECT_EQ(a.fullName, "/docs/a.txt");
        EXPECT_EQ(a.deleteTime, 6);
        EXPECT_EQ(a.remainSurvivalTime, 7);
        const auto &b = *p->recycleFileList[1];
        EXPECT_TRUE(b.isFolder);
        EXPECT_EQ(b.name, "");
        EXPECT_EQ(b.fullName, "");
    };
    auto unsetPage = [](const QVNasResponseInfo &r) {
        const auto p = r.responseData.value<QVNasRecycleFileListInfoPtr>();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->count, 0);
        EXPECT_TRUE(p->recycleFileList.isEmpty());
    };
    auto filled = std::make_shared<QVNasRecycleInfo>();
    filled->defaultSurviveTime = 90;
    filled->recycleSpaceTypeInfoList << std::make_shared<QVNasRecycleSpaceTypeInfo>();
    const QVNasTransportProgressBlock none;
    runRows({
        {"settings",
         extras([](auto &e) {
             e.survive = 45;
             e.buckets = {{1, 0}, {7, 2}};
         }),
         [](auto &s, auto d) { return s.qvNasRecycleGetSpaceInfo(d); },
         200,
         200,
         0,
         settings,
         "ppc_RecycleGetInfo",
         {"777"}},
        {"settings: failed", result("ppc_RecycleGetInfo", 14000),
         [](auto &s, auto d) { return s.qvNasRecycleGetSpaceInfo(d); }, 200, 200, 114000, unsetSettings,
         "ppc_RecycleGetInfo"},
        {"page",
         extras([&](auto &e) {
             e.recycle = items;
             e.recycleTotal = 40;
         }),
         [](auto &s, auto d) { return s.qvNasRecycleGetFileListByStartIndex(500, 50, d); },
         201,
         201,
         0,
         recyclePage,
         "ppc_RecycleGetList",
         {"500", "50", "777"}},
        {"page: failed", result("ppc_RecycleGetList", 14000),
         [](auto &s, auto d) { return s.qvNasRecycleGetFileListByStartIndex(0, 50, d); }, 201, 201, 114000,
         unsetPage, "ppc_RecycleGetList"},
        {"restore three", nullptr,
         [&](auto &s, auto d) {
             return s.qvNasRecycleRestoreFileList(keys({4, 5, 6}), none, d);
         },
         202, 202, 0, noData, "ppc_RecycleRestoreFileList"},
        {"delete: failed", result("ppc_RecycleDeleteFileList", 14000),
         [&](auto &s, auto d) { return s.qvNasRecycleDeleteFileList(keys({8}), none, d); }, 203, 203, 114000,
         noData, "ppc_RecycleDeleteFileList"},
        {"empty", nullptr, [&](auto &s, auto d) { return s.qvNasRecycleEmpty(none, d); }, 204, 204, 0, noData,
         "ppc_RecycleEmpty"},
        {"set settings: only the survive time",
         nullptr,
         [&](auto &s, auto d) { return s.qvNasRecycleSetInfo(filled, d); },
         205,
         205,
         0,
         noData,
         "ppc_RecycleSetInfo",
         {"90", "0", "no list", "777"}},
    });
}

TEST_F(ExtrasCommands, RecycleKeyListsHoldOneZeroedNodePerKey) {
    QVNasStorageService storage;
    const auto r = answerOf([&](auto d) {
        return storage.qvNasRecycleRestoreFileList(keys({21, 22, 23}), QVNasTransportProgressBlock{}, d);
    });
    ASSERT_TRUE(r);
    answerOf(
        [&](auto d) { return storage.qvNasRecycleDeleteFileList({}, QVNasTransportProgressBlock{}, d); });
    const auto lists = fake->keyLists();
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[0].keys, (std::vector<int32_t>{21, 22, 23}));  // three nodes, the fourth slot empty
    EXPECT_TRUE(lists[0].zeroed);
    EXPECT_EQ(lists[0].header[0] | lists[0].header[1] | lists[0].header[2], 0);
    EXPECT_TRUE(lists[1].keys.empty());
    static_assert(sizeof(resyscle_dnode) == 72, "the device's node is 72 bytes");
}

// Restore, delete and empty pass each report on with the request's number, on the worker, before the
// answer; empty takes its progress first and its completion second.
TEST_F(ExtrasCommands, RecycleProgressReachesTheCallerBeforeTheAnswer) {
    fake->editExtras([](auto &e) {
        e.recycleReports = {{0, 0, 3}, {1, 1, 3}, {1, 2, 3}, {1, 3, 3}, {2, 3, 3}};
    });
    QVNasStorageService storage;
    using Op = std::function<QVNasRequestInfoPtr(QVNasTransportProgressBlock, QVNasCompletionBlock)>;
    const std::vector<std::pair<int32_t, Op>> ops = {
        {202,
         [&](auto p, auto d) {
             return storage.qvNasRecycleRestoreFileList(keys({1, 2, 3}), p, d);
         }},
        {203,
         [&](auto p, auto d) {
             return storage.qvNasRecycleDeleteFileList(keys({1, 2, 3}), p, d);
         }},
        {204, [&](auto p, auto d) { return storage.qvNasRecycleEmpty(p, d); }},
    };
    for (const auto &[command, op] : ops) {
        SCOPED_TRACE(command);
        Progress progress;
        std::vector<int32_t> commands;
        std::mutex mu;
        size_t seenAtAnswer = 99;
        auto a = std::make_shared<Answer>();
        QVNasRequestInfoPtr handle;
        handle = op(
            [&](const QVNasRequestInfoPtr &r, int32_t s, int64_t done, int64_t total) {
                {
                    std::lock_guard<std::mutex> l(mu);
                    commands.push_back(r->clientCommand);
                }
                progress.block()(r, s, done, total);
            },
            [&, a](const QVNasResponseInfoPtr &r) {
                seenAtAnswer = progress.of(handle->clientCommandSeq).size();
                a->completion()(r);
            });
        ASSERT_TRUE(a->wait());
        EXPECT_EQ(a->get()->clientCommand, command);
        EXPECT_EQ(a->calls, 1);
        const auto calls = progress.of(handle->clientCommandSeq);
        ASSERT_EQ(calls.size(), 5u);
        EXPECT_EQ(seenAtAnswer, 5u);
        for (size_t i = 0; i < calls.size(); ++i) EXPECT_FALSE(calls[i].onMain);
        EXPECT_EQ(calls[0].status, 0);
        EXPECT_EQ(calls[2].done, 2);
        EXPECT_EQ(calls[4].status, 2);
        EXPECT_EQ(calls[4].total, 3);
        for (int32_t c : commands) EXPECT_EQ(c, command);
        const auto sdk = fake->calls().back();
        EXPECT_EQ(sdk.args[0], std::to_string(handle->clientCommandSeq));
    }
}

// The storage service hands back the broker's handle, numbered as the broker numbers its requests.
TEST_F(ExtrasCommands, ServiceReturnsTheBrokersHandle) {
    QVNasStorageService storage;
    QVNasRecentService recent;
    const int32_t before = broker().lastSequenceNumber();
    auto a = std::make_shared<Answer>();
    const auto h =
        storage.qvNasGetFileMutilTypeListWithStartIndex(0, 10, QVariantList{1}, 1, 0, a->completion());
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(h->clientCommand, 134);
    EXPECT_EQ(h->clientCommandSeq, before + 1);
    EXPECT_EQ(a->get()->clientCommand, 134);
    auto b = std::make_shared<Answer>();
    const auto r = recent.qvNasRecentSetRecordHideWithLogId(1, 2, 3, b->completion());
    ASSERT_TRUE(b->wait());
    EXPECT_EQ(r->clientCommand, 160);
    EXPECT_EQ(r->clientCommandSeq, before + 2);
}

}  // namespace
