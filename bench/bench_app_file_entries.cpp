// The application's file entries. One run prints every round with min/median/max:
//  1. A 500-entry listing page (command 61) turned into QVFileInfos on the main thread (entries, path
//     fix, both date texts) at pages 1, 100 and 200 of a 100,000-entry folder, beside a bare conversion
//     into a plain struct with the same texts (Qt only, none of our code), pages and sides alternating:
//     p50 and p99 per page (limit: p99 at most 4 ms; page 200's p50 at most 1.1x page 1's).
//  2. RSS per entry at 100,000 entries: plain QVNasFileInfo against QVFileInfo before any text is read
//     (limit 1.3x), after the listing transform (two date texts) and after every text is read.
#include <malloc.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QLocale>
#include <QStandardPaths>
#include <QTimeZone>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "model/QVFileInfo.h"
#include "model/QVNasFileListInfo.h"
#include "platform/Log.h"
#include "session/QVSingletonInterfaceManage.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr int kEntries = 100000;
constexpr int kPage = 500;

const char *const kSuffixes[] = {".mp4", ".jpg", ".docx", ".zip", ".mp3", ".txt", ".mkv", ".png", "", ".pdf"};

QVNasFileInfoPtr makeEntry(int i) {
    auto e = std::make_shared<QVNasFileInfo>();
    e->isFolder = i % 10 == 8;
    e->name = QString::asprintf("entry %06d", i) + QLatin1String(kSuffixes[i % 10]);
    e->path = (i % 2 ? QStringLiteral("/photos/2024/") : QStringLiteral("photos/2024/")) + e->name;
    e->size = static_cast<uint64_t>(i) * 7919u;
    e->date = 1600000000u + static_cast<uint64_t>(i) * 37u;
    e->userId = 4294967297LL;
    return e;
}

// The baseline: the same entries into a plain struct with its type, fixed path and two date texts.
struct PlainEntry {
    QString name, path, createTime, modifyTime;
    int type = 0;
    uint64_t size = 0, date = 0;
};
int plainType(const QString &name) {
    if (name.endsWith(QLatin1String(".mp4")) || name.endsWith(QLatin1String(".mkv"))) return 1;
    if (name.endsWith(QLatin1String(".mp3"))) return 2;
    if (name.endsWith(QLatin1String(".jpg")) || name.endsWith(QLatin1String(".png"))) return 3;
    if (name.endsWith(QLatin1String(".zip"))) return 5;
    return 4;
}
std::vector<PlainEntry> plainConvert(const QList<QVNasFileInfoPtr> &page) {
    static const QTimeZone zone = QTimeZone::systemTimeZone();
    static const QLocale c = QLocale::c();
    std::vector<PlainEntry> out;
    out.reserve(static_cast<size_t>(page.size()));
    for (const QVNasFileInfoPtr &e : page) {
        PlainEntry p;
        p.name = e->name;
        p.path = e->path.startsWith('/') ? e->path : QLatin1Char('/') + e->path;
        p.type = e->isFolder ? 6 : plainType(e->name);
        p.size = e->size;
        p.date = e->date;
        const QDateTime d = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(e->date), zone);
        p.createTime = c.toString(d, QStringLiteral("yyyy-MM-dd"));
        p.modifyTime = c.toString(d, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        out.push_back(std::move(p));
    }
    return out;
}

double ours(const QList<QVNasFileInfoPtr> &page) {
    auto list = std::make_shared<QVNasFileListInfo>();
    list->fileList = page;
    list->count = kPage;
    list->totalCount = kEntries;
    auto r = std::make_shared<QVNasResponseInfo>();
    r->clientCommand = 61;
    r->responseData = QVariant::fromValue(list);
    const auto t0 = SteadyClock::now();
    QVSingletonInterfaceManage::qvNasTransformResponseData(r);
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
    if (list->fileList.size() != page.size()) std::abort();
    return ms;
}

double bare(const QList<QVNasFileInfoPtr> &page) {
    const auto t0 = SteadyClock::now();
    const auto out = plainConvert(page);
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
    if (out.size() != static_cast<size_t>(page.size())) std::abort();
    return ms;
}

double pct(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

void pages(int runs) {
    std::printf("== 500-entry page into QVFileInfos (61 transform) against a bare conversion, ms per page\n");
    std::vector<QVNasFileInfoPtr> folder;
    folder.reserve(kEntries);
    for (int i = 0; i < kEntries; ++i) folder.push_back(makeEntry(i));
    const int pageNumbers[] = {1, 100, 200};
    std::vector<double> t[3][2];
    for (int run = 0; run < runs; ++run) {
        for (int k = 0; k < 3; ++k) {
            const int p = pageNumbers[(k + run) % 3];  // the page order turns each round
            const int idx = (k + run) % 3;
            QList<QVNasFileInfoPtr> page;
            page.reserve(kPage);
            for (int i = (p - 1) * kPage; i < p * kPage; ++i) page.append(folder[static_cast<size_t>(i)]);
            if (run % 2) {
                t[idx][0].push_back(ours(page));
                t[idx][1].push_back(bare(page));
            } else {
                t[idx][1].push_back(bare(page));
                t[idx][0].push_back(ours(page));
            }
        }
    }
    for (int k = 0; k < 3; ++k) {
        for (int side = 0; side < 2; ++side) {
            std::printf("page %3d %-5s runs:", pageNumbers[k], side ? "bare" : "ours");
            for (size_t i = 0; i < t[k][side].size(); ++i)
                std::printf("%s%.3f", i % 20 == 0 ? "\n   " : " ", t[k][side][i]);
            std::printf("\npage %3d %-5s min %.3f median %.3f p99 %.3f max %.3f\n", pageNumbers[k],
                        side ? "bare" : "ours", pct(t[k][side], 0), pct(t[k][side], 0.5),
                        pct(t[k][side], 0.99), pct(t[k][side], 1));
        }
        std::printf("page %3d ours/bare p50 ratio %.2f\n", pageNumbers[k],
                    pct(t[k][0], 0.5) / pct(t[k][1], 0.5));
    }
    const double worstP99 = std::max({pct(t[0][0], 0.99), pct(t[1][0], 0.99), pct(t[2][0], 0.99)});
    const double ratio = pct(t[2][0], 0.5) / pct(t[0][0], 0.5);
    std::printf("ours: worst p99 %.3f ms (limit 4) | page 200 p50 / page 1 p50 %.2f (limit 1.1)\n\n",
                worstP99, ratio);
}

long rssKb() {
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void rss(int rounds) {
    std::printf("== RSS per entry at %d entries (bytes)\n", kEntries);
    std::vector<double> plainB, lazyB, transB, readB;
    for (int round = 0; round < rounds; ++round) {
        auto measurePlain = [&] {
            malloc_trim(0);
            const long before = rssKb();
            std::vector<QVNasFileInfoPtr> v;
            v.reserve(kEntries);
            for (int i = 0; i < kEntries; ++i) v.push_back(makeEntry(i));
            const double b = static_cast<double>(rssKb() - before) * 1024.0 / kEntries;
            v.clear();
            v.shrink_to_fit();
            return b;
        };
        auto measureOurs = [&](double *lazy, double *transformed, double *read) {
            malloc_trim(0);
            const long before = rssKb();
            std::vector<QVFileInfoPtr> v;
            v.reserve(kEntries);
            for (int i = 0; i < kEntries; ++i) v.push_back(QVFileInfo::shareFileInfo(makeEntry(i)));
            *lazy = static_cast<double>(rssKb() - before) * 1024.0 / kEntries;
            for (const QVFileInfoPtr &f : v) {
                (void)f->create_time();
                (void)f->modify_time();
            }
            *transformed = static_cast<double>(rssKb() - before) * 1024.0 / kEntries;
            for (const QVFileInfoPtr &f : v) {
                (void)f->sizeStr();
                (void)f->cacheName();
                (void)f->default_imageName();
            }
            *read = static_cast<double>(rssKb() - before) * 1024.0 / kEntries;
        };
        double p, l, t, r;
        if (round % 2) {
            measureOurs(&l, &t, &r);
            malloc_trim(0);
            p = measurePlain();
        } else {
            p = measurePlain();
            malloc_trim(0);
            measureOurs(&l, &t, &r);
        }
        std::printf(
            "round %d: plain %.0f | QVFileInfo unread %.0f (%.2fx) | with date texts %.0f (%.2fx) | all "
            "texts read %.0f (%.2fx)\n",
            round, p, l, l / p, t, t / p, r, r / p);
        plainB.push_back(p);
        lazyB.push_back(l);
        transB.push_back(t);
        readB.push_back(r);
    }
    auto line = [](const char *what, const std::vector<double> &v, const std::vector<double> &base) {
        std::vector<double> ratio;
        for (size_t i = 0; i < v.size(); ++i) ratio.push_back(v[i] / base[i]);
        std::printf("%-24s bytes min %.0f median %.0f max %.0f | ratio min %.2f median %.2f max %.2f\n", what,
                    pct(v, 0), pct(v, 0.5), pct(v, 1), pct(ratio, 0), pct(ratio, 0.5), pct(ratio, 1));
    };
    line("plain QVNasFileInfo", plainB, plainB);
    line("QVFileInfo unread", lazyB, plainB);
    line("QVFileInfo date texts", transB, plainB);
    line("QVFileInfo all texts", readB, plainB);
    std::printf("(limit: unread at most 1.3x plain)\n");
}

}  // namespace

int main(int argc, char **argv) {
    // A private HOME and XDG folders: reading the thumbnail texts creates cache folders.
    char tmpl[] = "/tmp/qv-bench-app-XXXXXX";
    const char *home = mkdtemp(tmpl);
    if (home == nullptr) return 2;
    setenv("HOME", home, 1);
    setenv("XDG_CACHE_HOME", (std::string(home) + "/cache").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (std::string(home) + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (std::string(home) + "/data").c_str(), 1);
    QCoreApplication app(argc, argv);
    plat::Log::setEnabled(false);
    const int runs = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    pages(runs);
    rss(rounds);
    QDir(QString::fromUtf8(home)).removeRecursively();
    return 0;
}
