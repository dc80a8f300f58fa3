#include "platform/Geo.h"

#include <cmath>

namespace plat::geo {

namespace {

constexpr double kPi = 3.14159265358979324;
constexpr double kXPi = kPi * 3000.0 / 180.0;
constexpr double kA = 6378245.0;                // semi-major axis of the shift's ellipsoid
constexpr double kEe = 0.00669342162296594323;  // its eccentricity squared

double shiftLat(double x, double y) {
    double r = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * std::sqrt(std::fabs(x));
    r += (20.0 * std::sin(6.0 * x * kPi) + 20.0 * std::sin(2.0 * x * kPi)) * 2.0 / 3.0;
    r += (20.0 * std::sin(y * kPi) + 40.0 * std::sin(y / 3.0 * kPi)) * 2.0 / 3.0;
    r += (160.0 * std::sin(y / 12.0 * kPi) + 320.0 * std::sin(y * kPi / 30.0)) * 2.0 / 3.0;
    return r;
}

double shiftLon(double x, double y) {
    double r = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::fabs(x));
    r += (20.0 * std::sin(6.0 * x * kPi) + 20.0 * std::sin(2.0 * x * kPi)) * 2.0 / 3.0;
    r += (20.0 * std::sin(x * kPi) + 40.0 * std::sin(x / 3.0 * kPi)) * 2.0 / 3.0;
    r += (150.0 * std::sin(x / 12.0 * kPi) + 300.0 * std::sin(x / 30.0 * kPi)) * 2.0 / 3.0;
    return r;
}

// Inverts `forward` near `target` by fixed-point steps (each conversion is a small, smooth offset).
template <typename F>
LatLon invert(LatLon target, F forward) {
    LatLon guess = target;
    for (int i = 0; i < 30; ++i) {
        const LatLon f = forward(guess);
        const double dLat = f.lat - target.lat, dLon = f.lon - target.lon;
        guess.lat -= dLat;
        guess.lon -= dLon;
        if (std::fabs(dLat) < 1e-12 && std::fabs(dLon) < 1e-12) break;
    }
    return guess;
}

}  // namespace

bool inChina(LatLon p) {
    return p.lon >= 72.004 && p.lon <= 137.8347 && p.lat >= 0.8293 && p.lat <= 55.8271;
}

LatLon wgs84ToGcj02(LatLon p) {
    if (!inChina(p)) return p;
    double dLat = shiftLat(p.lon - 105.0, p.lat - 35.0);
    double dLon = shiftLon(p.lon - 105.0, p.lat - 35.0);
    const double radLat = p.lat / 180.0 * kPi;
    double magic = std::sin(radLat);
    magic = 1 - kEe * magic * magic;
    const double sqrtMagic = std::sqrt(magic);
    dLat = (dLat * 180.0) / ((kA * (1 - kEe)) / (magic * sqrtMagic) * kPi);
    dLon = (dLon * 180.0) / (kA / sqrtMagic * std::cos(radLat) * kPi);
    return {p.lat + dLat, p.lon + dLon};
}

LatLon gcj02ToWgs84(LatLon p) {
    // Outside the box the forward shift is nil and the first step ends the search.
    return invert(p, wgs84ToGcj02);
}

LatLon gcj02ToBd09(LatLon p) {
    const double x = p.lon, y = p.lat;
    const double z = std::sqrt(x * x + y * y) + 0.00002 * std::sin(y * kXPi);
    const double theta = std::atan2(y, x) + 0.000003 * std::cos(x * kXPi);
    return {z * std::sin(theta) + 0.006, z * std::cos(theta) + 0.0065};
}

LatLon bd09ToGcj02(LatLon p) {
    return invert(p, gcj02ToBd09);
}

LatLon wgs84ToBd09(LatLon p) {
    return gcj02ToBd09(wgs84ToGcj02(p));
}

LatLon bd09ToWgs84(LatLon p) {
    return gcj02ToWgs84(bd09ToGcj02(p));
}

}  // namespace plat::geo
