#include "session/QVSingletonInterfaceManage.h"

#include <QVariantMap>

#include "model/QVFileInfo.h"
#include "model/QVNasFileListInfo.h"
#include "tools/QVSingletonDateManage.h"

namespace {

QVNasFileInfoPtr convert(const QVNasFileInfoPtr &e, bool fixPath) {
    auto f = QVFileInfo::shareFileInfo(e);
    const QDateTime d = QVSingletonDateManage::getSystemTimeZoneDate(static_cast<double>(f->date));
    f->setCreate_time(QVSingletonDateManage::getCreateDateFormatter().stringFromDate(d));
    f->setModify_time(QVSingletonDateManage::getModifyDateFormatter().stringFromDate(d));
    if (fixPath && e && !e->path.startsWith(QLatin1Char('/'))) f->path = QLatin1Char('/') + e->path;
    return f;
}

QList<QVNasFileInfoPtr> convertAll(const QList<QVNasFileInfoPtr> &list, bool fixPath) {
    QList<QVNasFileInfoPtr> out;
    out.reserve(list.size());
    for (const QVNasFileInfoPtr &e : list)
        if (e) out.append(convert(e, fixPath));
    return out;
}

}  // namespace

QVNasResponseInfoPtr QVSingletonInterfaceManage::qvNasTransformResponseData(const QVNasResponseInfoPtr &r) {
    if (!r) return r;
    switch (r->clientCommand) {
        case 98: {
            auto list = r->responseData.value<QVNasFileListInfoPtr>();
            if (list) list->fileList = convertAll(list->fileList, false);
            break;
        }
        case 61:
        case 134:
        case 184: {
            auto list = r->responseData.value<QVNasFileListInfoPtr>();
            if (!list) break;
            list->fileList = convertAll(list->fileList, true);
            r->responseData = QVariantMap{{QStringLiteral("fileListInfo"), QVariant::fromValue(list)}};
            break;
        }
        case 96:
        case 100: {
            auto list = r->responseData.value<QVNasFileListInfoPtr>();
            if (!list) break;
            QVariantList files;
            for (const QVNasFileInfoPtr &f : convertAll(list->fileList, true))
                files.append(QVariant::fromValue(f));
            r->responseData = QVariantMap{
                {QStringLiteral("folders"), QVariantList{}},
                {QStringLiteral("files"), files},
                {QStringLiteral("pageDict"), QVariantMap{{QStringLiteral("totalCount"), list->totalCount},
                                                         {QStringLiteral("totalPage"), 1},
                                                         {QStringLiteral("pageSize"), 1}}}};
            break;
        }
        case 141: {
            // Each group keeps only its first entry, converted; an empty group stays empty.
            for (const auto &group : r->responseData.value<QList<QVNasDeviceAggregationInfoPtr>>()) {
                if (!group || group->fileList.isEmpty()) continue;
                const QVNasFileInfoPtr first = group->fileList.first();
                group->fileList =
                    first ? QList<QVNasFileInfoPtr>{convert(first, false)} : QList<QVNasFileInfoPtr>{};
            }
            break;
        }
        default:
            break;
    }
    return r;
}
