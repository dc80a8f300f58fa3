#!/usr/bin/env python3
"""Reference points for the map-coordinate conversions, computed apart from the C++ code.

WGS-84 -> GCJ-02 (inside mainland China only) -> BD-09, written from the published formulas with Python's
own math. Prints one C++ table row per point: {name, wgs lat, wgs lon, bd lat, bd lon}. The rows of
Geo_test.cpp come from this script's output.
"""
import math

A = 6378245.0
EE = 0.00669342162296594323
X_PI = math.pi * 3000.0 / 180.0


def in_china(lat, lon):
    return 72.004 <= lon <= 137.8347 and 0.8293 <= lat <= 55.8271


def d_lat(x, y):
    r = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * math.sqrt(abs(x))
    r += (20.0 * math.sin(6.0 * x * math.pi) + 20.0 * math.sin(2.0 * x * math.pi)) * 2.0 / 3.0
    r += (20.0 * math.sin(y * math.pi) + 40.0 * math.sin(y / 3.0 * math.pi)) * 2.0 / 3.0
    r += (160.0 * math.sin(y / 12.0 * math.pi) + 320.0 * math.sin(y * math.pi / 30.0)) * 2.0 / 3.0
    return r


def d_lon(x, y):
    r = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * math.sqrt(abs(x))
    r += (20.0 * math.sin(6.0 * x * math.pi) + 20.0 * math.sin(2.0 * x * math.pi)) * 2.0 / 3.0
    r += (20.0 * math.sin(x * math.pi) + 40.0 * math.sin(x / 3.0 * math.pi)) * 2.0 / 3.0
    r += (150.0 * math.sin(x / 12.0 * math.pi) + 300.0 * math.sin(x / 30.0 * math.pi)) * 2.0 / 3.0
    return r


def wgs_to_gcj(lat, lon):
    if not in_china(lat, lon):
        return lat, lon
    dlat = d_lat(lon - 105.0, lat - 35.0)
    dlon = d_lon(lon - 105.0, lat - 35.0)
    rad = lat / 180.0 * math.pi
    magic = 1 - EE * math.sin(rad) ** 2
    sq = math.sqrt(magic)
    dlat = (dlat * 180.0) / ((A * (1 - EE)) / (magic * sq) * math.pi)
    dlon = (dlon * 180.0) / (A / sq * math.cos(rad) * math.pi)
    return lat + dlat, lon + dlon


def gcj_to_bd(lat, lon):
    z = math.hypot(lon, lat) + 0.00002 * math.sin(lat * X_PI)
    theta = math.atan2(lat, lon) + 0.000003 * math.cos(lon * X_PI)
    return z * math.sin(theta) + 0.006, z * math.cos(theta) + 0.0065


POINTS = [
    ("Beijing", 39.908823, 116.397470),
    ("Shanghai", 31.230416, 121.473701),
    ("Shenzhen", 22.543099, 114.057868),
    ("Urumqi", 43.825592, 87.616848),
    ("Harbin", 45.803775, 126.534967),
    ("Lhasa", 29.652491, 91.172112),
    ("Berlin", 52.520008, 13.404954),
    ("New York", 40.712776, -74.005974),
    ("Sydney", -33.868820, 151.209296),
    ("Null Island", 0.0, 0.0),
]

for name, lat, lon in POINTS:
    blat, blon = gcj_to_bd(*wgs_to_gcj(lat, lon))
    print('{"%s", %.9f, %.9f, %.12f, %.12f},' % (name, lat, lon, blat, blon))
