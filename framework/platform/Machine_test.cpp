// The machine-facing platform pieces: the secret stores (files, keyring with its fallback), the broadcast
// address from the system's interfaces (fake lists and real interfaces in a namespace of the test's own),
// and the machine id.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/MachineInfo.h"
#include "platform/NetIf.h"
#include "platform/SecretStore.h"

namespace {

mode_t modeOf(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

TEST(FileSecretStore, KeepsOwnerOnlyFilesThatANewInstanceReads) {
    QTemporaryDir dir;
    const QString folder = dir.path() + "/deep/secrets";
    {
        plat::FileSecretStore store(folder);
        ASSERT_TRUE(store.save("QV_NAS_KEY_IN_KEYCHAIN_UUID", QByteArray("v1\0x", 4)));
        ASSERT_TRUE(store.save("QV_NAS_KEY_IN_KEYCHAIN_UUID", "v2"));  // replaced, not appended
        EXPECT_EQ(modeOf(folder), 0700u);
        EXPECT_EQ(modeOf(store.pathForKey("QV_NAS_KEY_IN_KEYCHAIN_UUID")), 0600u);
    }
    plat::FileSecretStore again(folder);
    EXPECT_EQ(again.load("QV_NAS_KEY_IN_KEYCHAIN_UUID"), QByteArray("v2"));
    EXPECT_FALSE(again.load("never saved"));
    EXPECT_TRUE(again.remove("QV_NAS_KEY_IN_KEYCHAIN_UUID"));
    EXPECT_FALSE(again.load("QV_NAS_KEY_IN_KEYCHAIN_UUID"));
    EXPECT_TRUE(again.remove("QV_NAS_KEY_IN_KEYCHAIN_UUID"));  // nothing there is no failure
}

TEST(KeychainSecretStore, WithoutASessionBusFallsBackToFilesAtOnce) {
    if (qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS") != QLatin1String("disabled:"))
        GTEST_SKIP() << "needs DBUS_SESSION_BUS_ADDRESS=disabled: (the test main sets it)";
    QTemporaryDir dir;
    QElapsedTimer t;
    t.start();
    plat::KeychainSecretStore store("qvnas-test", 5000, dir.path());
    ASSERT_TRUE(store.save("k", "value"));
    EXPECT_TRUE(store.usingFileFallback());
    EXPECT_LT(t.elapsed(), 4000) << "the fallback waited for the job's time-out";
    EXPECT_TRUE(QFile::exists(plat::FileSecretStore(dir.path()).pathForKey("k")));
    plat::KeychainSecretStore later("qvnas-test", 5000, dir.path());
    EXPECT_EQ(later.load("k"), QByteArray("value"));
    EXPECT_TRUE(later.remove("k"));
    EXPECT_FALSE(later.load("k"));
}

// Runs as its own ctest under dbus-run-session with an unlocked gnome-keyring (QV_KEYRING_SESSION=1).
TEST(GnomeKeyring, KeepsSecretsInTheKeyringAndFindsOnesLeftInFiles) {
    if (qEnvironmentVariableIsEmpty("QV_KEYRING_SESSION"))
        GTEST_SKIP() << "runs only inside the keyring session (ctest framework_keychain_gnome_keyring)";
    QTemporaryDir dir;
    plat::FileSecretStore files(dir.path());
    ASSERT_TRUE(files.save("left-in-files", "from a session without keyring"));
    plat::KeychainSecretStore store("qvnas-test", 5000, dir.path());
    ASSERT_TRUE(store.save("k", "in the keyring"));
    EXPECT_FALSE(store.usingFileFallback());
    EXPECT_FALSE(QFile::exists(files.pathForKey("k"))) << "a file was written although the keyring answered";
    EXPECT_EQ(store.load("k"), QByteArray("in the keyring"));
    EXPECT_EQ(store.load("left-in-files"), QByteArray("from a session without keyring"));
    EXPECT_FALSE(store.load("never saved"));
    EXPECT_TRUE(store.remove("k"));
    EXPECT_TRUE(store.remove("left-in-files"));
    EXPECT_FALSE(store.load("k"));
    EXPECT_FALSE(store.load("left-in-files"));
    EXPECT_FALSE(store.usingFileFallback());
}

// ---- broadcast address ----

constexpr unsigned kUpRunning = IFF_UP | IFF_RUNNING | IFF_BROADCAST;

TEST(NetIf, PicksTheFirstLiveBroadcastInterface) {
    const plat::NetIfEntry lo{"lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, "127.0.0.1", ""};
    const plat::NetIfEntry unplugged{"eth0", IFF_UP | IFF_BROADCAST, "192.168.1.5", "192.168.1.255"};
    const plat::NetIfEntry down{"eth1", IFF_BROADCAST, "10.0.0.5", "10.0.0.255"};
    const plat::NetIfEntry wifi{"wlan0", kUpRunning, "10.1.0.7", "10.1.255.255"};
    const plat::NetIfEntry tun{"tun0", IFF_UP | IFF_RUNNING | IFF_POINTOPOINT, "10.8.0.2", ""};
    const plat::NetIfEntry second{"eth2", kUpRunning, "172.16.0.3", "172.16.0.255"};
    struct Case {
        const char *name;
        QList<plat::NetIfEntry> entries;
        std::optional<QString> expected;
    };
    const Case cases[] = {
        {"nothing", {}, std::nullopt},
        {"only the loopback", {lo}, std::nullopt},
        {"unplugged cable skipped", {lo, unplugged, wifi}, "10.1.255.255"},
        {"down skipped", {down, second}, "172.16.0.255"},
        {"point-to-point has no broadcast", {tun}, std::nullopt},
        {"first qualifying wins", {lo, wifi, second}, "10.1.255.255"},
    };
    for (const Case &c : cases) EXPECT_EQ(plat::NetIf::pickBroadcast(c.entries), c.expected) << c.name;
    plat::NetIf::setCurrent(std::make_shared<plat::FakeNetIf>(QList<plat::NetIfEntry>{unplugged, second}));
    EXPECT_EQ(plat::NetIf::current().broadcastAddress(), QStringLiteral("172.16.0.255"));
    plat::NetIf::setCurrent(nullptr);
}

// Runs `fn` on a thread that has a network namespace of its own (only lo up); false when none can be made.
bool inOwnNetns(const std::function<void()> &fn) {
    bool ok = false;
    std::thread t([&] {
        if (::unshare(CLONE_NEWNET) != 0) return;
        if (std::system("ip link set lo up") != 0) return;
        ok = true;
        fn();
    });
    t.join();
    return ok;
}

int sh(const char *cmd) {
    return std::system(cmd);
}

TEST(NetIf, ReadsTheSystemsInterfacesInANamespace) {
    struct Case {
        const char *name;
        std::function<bool()> setUp;  // false: the case cannot be built here
        std::optional<QString> expected;
    };
    const Case cases[] = {
        {"only lo", [] { return true; }, std::nullopt},
        {"an interface with a link",
         [] {
             // A dummy interface where the kernel has them, else a veth pair with both ends up.
             if (sh("ip link add d0 type dummy 2>/dev/null") == 0)
                 return sh("ip addr add 10.66.1.5/24 brd + dev d0 && ip link set d0 up") == 0;
             return sh("ip link add va type veth peer name vb && ip addr add 10.66.1.5/24 brd + dev va && "
                       "ip link set vb up && ip link set va up") == 0;
         },
         "10.66.1.255"},
        {"a veth whose peer is down is skipped",
         [] {
             return sh("ip link add va type veth peer name vb && ip addr add 10.66.2.5/24 brd + dev va && "
                       "ip link set va up") == 0;
         },
         std::nullopt},
        {"the live one after a dead one",
         [] {
             return sh("ip link add va type veth peer name vb && ip addr add 10.66.2.5/24 brd + dev va && "
                       "ip link set va up && ip link add wa type veth peer name wb && "
                       "ip addr add 10.66.3.9/16 brd + dev wa && ip link set wb up && ip link set wa up") ==
                    0;
         },
         "10.66.255.255"},
    };
    for (const Case &c : cases) {
        bool built = false;
        std::optional<QString> got;
        const bool ran = inOwnNetns([&] {
            built = c.setUp();
            if (!built) return;
            // The kernel reports a new link's carrier a moment after "up" (link watch runs late on a
            // busy machine), so a case that expects one gives it a few seconds.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            do {
                got = plat::NetIf().broadcastAddress();
                if (got == c.expected || !c.expected) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            } while (std::chrono::steady_clock::now() < deadline);
        });
        if (!ran) GTEST_SKIP() << "no network namespace: unshare(CLONE_NEWNET) needs root or CAP_SYS_ADMIN";
        ASSERT_TRUE(built) << c.name << ": the interfaces could not be made (ip link)";
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

// ---- machine id ----

TEST(MachineInfo, DerivesAStableIdThatIsNotTheRawOne) {
    QTemporaryDir dir;
    const QString raw = "0123456789abcdef0123456789abcdef";
    const QString a = dir.path() + "/a", b = dir.path() + "/b", empty = dir.path() + "/empty";
    for (const auto &[path, text] :
         {std::pair{a, raw + "\n"}, std::pair{b, QString("fedcba98765432100123456789abcdef")},
          std::pair{empty, QString("\n")}}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text.toLatin1());
    }
    const QRegularExpression hex32("^[0-9A-F]{32}$");
    const QString first = plat::MachineInfo::hardwareUuid({a});
    EXPECT_TRUE(hex32.match(first).hasMatch()) << first.toStdString();
    EXPECT_EQ(plat::MachineInfo::hardwareUuid({a}), first);
    EXPECT_NE(first, raw.toUpper());
    EXPECT_FALSE(first.contains(raw.left(8).toUpper()));
    EXPECT_NE(plat::MachineInfo::hardwareUuid({b}), first);
    // Missing and empty files are passed over.
    EXPECT_EQ(plat::MachineInfo::hardwareUuid({dir.path() + "/missing", empty, a}), first);
    // No id at all: random, never empty.
    const QString r1 = plat::MachineInfo::hardwareUuid({dir.path() + "/missing"});
    const QString r2 = plat::MachineInfo::hardwareUuid({});
    EXPECT_TRUE(hex32.match(r1).hasMatch()) << r1.toStdString();
    EXPECT_TRUE(hex32.match(r2).hasMatch());
    EXPECT_NE(r1, r2);
    EXPECT_FALSE(plat::MachineInfo::machineName().isEmpty());
}

}  // namespace
