#include "model/QVNasDeviceStatusInfo.h"

#include "model/ModelDescription.h"

QString QVNasDeviceOtaInfo::debugDescription() {
    return qvmodel::describe("QVNasDeviceOtaInfo", this,
                             {{"fileSize", QString::number(fileSize)},
                              {"version", version()},
                              {"otaDescription", otaDescription()},
                              {"product", product()},
                              {"name", name()},
                              {"upgrade_time", QString::number(upgrade_time)},
                              {"description_zh", description_zh()},
                              {"description_en", description_en()},
                              {"uri", uri()}});
}
