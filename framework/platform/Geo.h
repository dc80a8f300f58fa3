// Map coordinates: the device stores photo positions in WGS-84, the map the application draws uses BD-09
// (WGS-84 shifted to GCJ-02 inside mainland China, then the BD-09 offset). Points outside China get only the
// BD-09 offset. The inverse conversions refine by fixed-point iteration, so a round trip comes back within
// about 1e-7 degree.
#pragma once

namespace plat::geo {

struct LatLon {
    double lat = 0;
    double lon = 0;
};

// Whether the GCJ-02 shift applies (a box around mainland China, as map services use it).
bool inChina(LatLon p);
LatLon wgs84ToGcj02(LatLon p);
LatLon gcj02ToWgs84(LatLon p);
LatLon gcj02ToBd09(LatLon p);
LatLon bd09ToGcj02(LatLon p);
LatLon wgs84ToBd09(LatLon p);
LatLon bd09ToWgs84(LatLon p);

}  // namespace plat::geo
