// Plane geometry in doubles: 3 x 3 affine matrices and the rotation of a point
// by an angle in degrees. The masks map board polygons into images with them;
// rotatePointDeg is shared with every routine that turns rectangles.
#pragma once

namespace pcbinspect {

// A 3 x 3 affine matrix stored column by column: element (row r, column c) is
// m[3 * c + r]. Points are column vectors (x, y, 1).
struct Affine3 {
    double m[9];
};

Affine3 affineIdentity();
// Identity with the translation column set to (tx, ty).
Affine3 affineTranslation(double tx, double ty);
// Rotation by `radians`; exactly the identity when |radians| is below the
// double epsilon.
Affine3 affineRotation(double radians);
// The product a * b (b applied first).
Affine3 affineProduct(const Affine3& a, const Affine3& b);
// Applies m to (x, y, 1): out[i] = m[i] * x + m[i + 3] * y + m[i + 6].
void affineApply(const Affine3& m, double x, double y, double& outX, double& outY);

// Rotates (x, y) about the origin by `degrees` (double precision, with the
// double value of pi): x' = cos a * x - sin a * y, y' = cos a * y + sin a * x.
// Angles whose magnitude is at most the float epsilon leave the point as it is.
void rotatePointDeg(double& x, double& y, double degrees);

}  // namespace pcbinspect
