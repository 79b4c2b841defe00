// The sky as a plane: the gnomonic projection of sky positions about a
// tangent point, in arcseconds.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "kernels/bindings.hpp"
#include "kernels/threads.hpp"

namespace trovel {
namespace {

constexpr double kPi = 3.141592653589793238462643383279502884;
constexpr double kRadiansPerDegree = kPi / 180.0;
constexpr double kArcsecondsPerRadian = 180.0 * 3600.0 / kPi;

// a mod 360 with the sign of 360, as numpy's float remainder gives it
double mod360(double a) {
    double m = std::fmod(a, 360.0);
    if (m != 0.0) {
        if (m < 0.0) m += 360.0;
    } else {
        m = 0.0;
    }
    return m;
}

// The tangent point's latitude, kept as its sine and cosine.
struct Tangent {
    double lon0, lat0, s0, c0;
};

// Differences of the angles first (exact for nearby positions), then the
// projection in forms without cancellation: with h2 = 2 sin^2(dlon/2),
//   cos c = cos(dlat) - cos(lat0) cos(lat) h2,
//   y cos c = sin(dlat) + sin(lat0) cos(lat) h2,
// so that an offset of a milliarcsecond keeps its digits.  Points 90
// degrees or more from the tangent point have no image: NaN.
void project(const Tangent& t, double lon, double lat, double& x, double& y) {
    const double dlon = (mod360(lon - t.lon0 + 180.0) - 180.0) * kRadiansPerDegree;
    const double dlat = (lat - t.lat0) * kRadiansPerDegree;
    const double cp = std::cos(lat * kRadiansPerDegree);
    const double half = std::sin(0.5 * dlon);
    const double h2 = 2.0 * (half * half);
    const double cos_c = std::cos(dlat) - t.c0 * cp * h2;
    const double scale = cos_c > 0.0 ? kArcsecondsPerRadian / cos_c : NAN;
    x = cp * std::sin(dlon) * scale;
    y = (std::sin(dlat) + t.s0 * cp * h2) * scale;
}

constexpr std::int64_t kSkyPiece = 1 << 14;

void sky_to_plane(const ExactReals& lon, const ExactReals& lat, double lon0, double lat0,
                  py::array x, py::array y, int threads) {
    if (threads < 1) throw std::invalid_argument("threads must be at least 1");
    const py::ssize_t n = lon.size();
    if (lat.size() != n) throw std::invalid_argument("lon and lat must be of one size");
    double* xs = checked_out(x, 1, &n);
    double* ys = checked_out(y, 1, &n);
    const double* lo = lon.data();
    const double* la = lat.data();
    const double phi0 = lat0 * kRadiansPerDegree;
    const Tangent t{lon0, lat0, std::sin(phi0), std::cos(phi0)};
    py::gil_scoped_release unlocked;
    for_each_piece(threads, (n + kSkyPiece - 1) / kSkyPiece, [&](std::int64_t p) {
        const std::int64_t end = std::min<std::int64_t>(n, (p + 1) * kSkyPiece);
        for (std::int64_t k = p * kSkyPiece; k < end; ++k) project(t, lo[k], la[k], xs[k], ys[k]);
    });
}

}  // namespace

void bind_sky(py::module_& m) {
    m.def("sky_to_plane", &sky_to_plane, py::arg("lon").noconvert(), py::arg("lat").noconvert(),
          py::arg("lon0"), py::arg("lat0"), py::arg("x"), py::arg("y"), py::arg("threads"));
}

}  // namespace trovel
