// A shape of convex polygons alone as a signed sum of convex pieces: its
// membership, almost everywhere, is sum_k c_k [P in K_k] with integer c_k.
// The algebra of memberships gives it term by term:
//   a | b = a + b - a b,   a & b = a b,   a - b = a - a b,   a ^ b = a + b - 2 a b,
// and the product of two convex pieces is their intersection, again convex,
// or empty (dropped).  Disjoint operands, such as the segments of a
// segmented mirror, leave no product terms at all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "render.hpp"

namespace trovel {
namespace {

struct Term {
    std::int32_t coef;
    std::vector<Point> v;   // counter-clockwise
    double xmin, ymin, xmax, ymax;
};
using Sum = std::vector<Term>;

double twice_area(const std::vector<Point>& v) {
    double s = 0.0;
    for (std::size_t k = 0, j = v.size() - 1; k < v.size(); j = k++)
        s += v[j].x * v[k].y - v[k].x * v[j].y;
    return s;
}

// A piece with its box, or false when it has no area left.
bool boxed(std::vector<Point> v, std::int32_t coef, Term& t) {
    if (v.size() < 3 || !(twice_area(v) > 0.0)) return false;
    t.coef = coef;
    t.xmin = t.xmax = v[0].x;
    t.ymin = t.ymax = v[0].y;
    for (const Point& p : v) {
        t.xmin = std::min(t.xmin, p.x), t.xmax = std::max(t.xmax, p.x);
        t.ymin = std::min(t.ymin, p.y), t.ymax = std::max(t.ymax, p.y);
    }
    t.v = std::move(v);
    return true;
}

// The side of p from the line a -> b: positive on its left.
double side(const Point& a, const Point& b, const Point& p) {
    return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
}

// x cut by the left side of the line a -> b, into `out`.
void clip_by_line(const std::vector<Point>& x, const Point& a, const Point& b,
                  std::vector<Point>& out) {
    out.clear();
    for (std::size_t k = 0, j = x.size() - 1; k < x.size(); j = k++) {
        const Point &p = x[j], &q = x[k];
        const double sp = side(a, b, p), sq = side(a, b, q);
        if ((sp >= 0.0) != (sq >= 0.0)) {
            const double t = sp / (sp - sq);
            out.push_back({p.x + t * (q.x - p.x), p.y + t * (q.y - p.y)});
        }
        if (sq >= 0.0) out.push_back(q);
    }
}

// The intersection of two convex pieces, when it has area.
bool intersect(const Term& a, const Term& b, Term& t) {
    if (a.xmax <= b.xmin || b.xmax <= a.xmin || a.ymax <= b.ymin || b.ymax <= a.ymin) return false;
    std::vector<Point> v = a.v, cut;
    for (std::size_t k = 0, j = b.v.size() - 1; k < b.v.size() && v.size() >= 3; j = k++) {
        clip_by_line(v, b.v[j], b.v[k], cut);
        v.swap(cut);
    }
    return boxed(std::move(v), a.coef * b.coef, t);
}

// What making the pieces may cost: how many of them, and how many pairs of
// boxes it may compare (a union of n disjoint polygons compares about n^2 / 2
// pairs).  Past either, the shape is left to the boundary walk.
struct Budget {
    std::size_t pieces;
    std::int64_t pairs;
};

// The pairwise products of two sums, times `times`, appended to `out`;
// false when that would go past the budget.
bool append_product(const Sum& a, const Sum& b, std::int32_t times, Budget& budget, Sum& out) {
    budget.pairs -= static_cast<std::int64_t>(a.size()) * static_cast<std::int64_t>(b.size());
    if (budget.pairs < 0) return false;
    Term t;
    for (const Term& x : a)
        for (const Term& y : b) {
            if (!intersect(x, y, t)) continue;
            if (out.size() == budget.pieces) return false;   // a product alone past it
            t.coef *= times;
            out.push_back(std::move(t));
        }
    return true;
}

// a op b, the operands taken; false when that would go past the budget.
bool combine(std::int32_t op, Sum a, Sum b, Budget& budget, Sum& out) {
    Sum product;
    const std::int32_t times = op == kIntersect ? 1 : op == kSymmetricDifference ? -2 : -1;
    if (!append_product(a, b, times, budget, product)) return false;
    if (op == kIntersect) {
        out = std::move(product);
        return true;
    }
    out = std::move(a);
    if (op != kDifference) std::move(b.begin(), b.end(), std::back_inserter(out));
    std::move(product.begin(), product.end(), std::back_inserter(out));
    return out.size() <= budget.pieces;
}

}  // namespace

std::shared_ptr<const SignedPieces> signed_pieces(const Shape& shape) {
    for (const Primitive& p : shape.prims)
        if (p.kind != PrimKind::Polygon || !p.convex) return nullptr;
    // Overlapping operands multiply their pieces: a few per primitive are
    // kept, and some ten million comparisons of boxes (a few tens of ms).
    Budget budget{8 * shape.prims.size() + 64, 10'000'000};
    std::vector<Sum> stack;
    for (const std::int32_t code : shape.program) {
        if (code == kComplement) return nullptr;   // unbounded
        if (code >= 0) {
            const Primitive& p = shape.prims[static_cast<std::size_t>(code)];
            std::vector<Point> v(static_cast<std::size_t>(p.n));
            for (std::int32_t k = 0; k < p.n; ++k)
                v[static_cast<std::size_t>(k)] = {p.x(k), p.y(k)};
            Term t;
            stack.emplace_back();
            if (boxed(std::move(v), 1, t)) stack.back().push_back(std::move(t));
            continue;
        }
        Sum b = std::move(stack.back());
        stack.pop_back();
        Sum a = std::move(stack.back());
        if (!combine(code, std::move(a), std::move(b), budget, stack.back())) return nullptr;
    }
    auto pieces = std::make_shared<SignedPieces>();
    pieces->start.push_back(0);
    for (const Term& t : stack.back()) {
        for (const Point& p : t.v) pieces->xy.push_back(p);
        pieces->start.push_back(static_cast<std::int32_t>(pieces->xy.size()));
        pieces->coef.push_back(t.coef);
    }
    return pieces;
}

}  // namespace trovel
