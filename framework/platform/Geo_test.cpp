// Map coordinates: reference points from framework/platform/tools/geo_reference.py (Python's own math,
// written from the published formulas), and round trips over a grid inside and outside China.
#include "platform/Geo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using plat::geo::LatLon;

namespace {

struct Ref {
    const char *name;
    double wgsLat, wgsLon, bdLat, bdLon;
};

// Output of geo_reference.py.
const Ref kRefs[] = {
    {"Beijing", 39.908823000, 116.397470000, 39.916565818641, 116.410086454426},
    {"Shanghai", 31.230416000, 121.473701000, 31.234326581388, 121.484782472390},
    {"Shenzhen", 22.543099000, 114.057868000, 22.546040412882, 114.069531966738},
    {"Urumqi", 43.825592000, 87.616848000, 43.832941270296, 87.626148101956},
    {"Harbin", 45.803775000, 126.534967000, 45.811370879733, 126.547626349241},
    {"Lhasa", 29.652491000, 91.172112000, 29.655755555581, 91.180072034700},
    {"Berlin", 52.520008000, 13.404954000, 52.525980711544, 13.411490861444},
    {"New York", 40.712776000, -74.005974000, 40.718831994169, -73.999465781964},
    {"Sydney", -33.868820000, 151.209296000, -33.862414691677, 151.215866326526},
    {"Null Island", 0.000000000, 0.000000000, 0.006000000000, 0.006500000000},
};

}  // namespace

TEST(Geo, ReferencePointsBothWays) {
    for (const Ref &r : kRefs) {
        const LatLon bd = plat::geo::wgs84ToBd09({r.wgsLat, r.wgsLon});
        EXPECT_NEAR(bd.lat, r.bdLat, 1e-9) << r.name;
        EXPECT_NEAR(bd.lon, r.bdLon, 1e-9) << r.name;
        const LatLon wgs = plat::geo::bd09ToWgs84({r.bdLat, r.bdLon});
        EXPECT_NEAR(wgs.lat, r.wgsLat, 1e-7) << r.name;
        EXPECT_NEAR(wgs.lon, r.wgsLon, 1e-7) << r.name;
    }
}

TEST(Geo, RoundTripOverAGridStaysWithin1e5Degree) {
    double worst = 0;
    for (double lat = -80; lat <= 80; lat += 0.73) {
        for (double lon = -179; lon <= 179; lon += 0.91) {
            const LatLon back = plat::geo::bd09ToWgs84(plat::geo::wgs84ToBd09({lat, lon}));
            worst = std::max({worst, std::fabs(back.lat - lat), std::fabs(back.lon - lon)});
            const LatLon fwd = plat::geo::wgs84ToBd09(plat::geo::bd09ToWgs84({lat, lon}));
            worst = std::max({worst, std::fabs(fwd.lat - lat), std::fabs(fwd.lon - lon)});
        }
    }
    EXPECT_LT(worst, 1e-5);
}
