#include "masks/affine.h"

#include <cfloat>
#include <cmath>
#include <numbers>

namespace pcbinspect {

Affine3 affineIdentity() { return Affine3{{1, 0, 0, 0, 1, 0, 0, 0, 1}}; }

Affine3 affineTranslation(double tx, double ty) {
    Affine3 t = affineIdentity();
    t.m[6] = tx;
    t.m[7] = ty;
    return t;
}

Affine3 affineRotation(double radians) {
    if (std::fabs(radians) < DBL_EPSILON) return affineIdentity();
    const double c = std::cos(radians), s = std::sin(radians);
    return Affine3{{c, s, 0, -s, c, 0, 0, 0, 1}};
}

Affine3 affineProduct(const Affine3& a, const Affine3& b) {
    Affine3 p;
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 3; ++r) {
            // Summed in the order of the inner index so that every build
            // rounds the same way.
            double sum = a.m[r] * b.m[3 * c];
            sum = sum + a.m[3 + r] * b.m[3 * c + 1];
            sum = sum + a.m[6 + r] * b.m[3 * c + 2];
            p.m[3 * c + r] = sum;
        }
    }
    return p;
}

void affineApply(const Affine3& m, double x, double y, double& outX, double& outY) {
    outX = m.m[0] * x + m.m[3] * y + m.m[6] * 1.0;
    outY = m.m[1] * x + m.m[4] * y + m.m[7] * 1.0;
}

void rotatePointDeg(double& x, double& y, double degrees) {
    if (!(std::fabs(degrees) > static_cast<double>(FLT_EPSILON))) return;
    const double a = degrees / 180.0 * std::numbers::pi;
    const double c = std::cos(a), s = std::sin(a);
    const double rx = c * x - s * y;
    const double ry = c * y + s * x;
    x = rx;
    y = ry;
}

}  // namespace pcbinspect
