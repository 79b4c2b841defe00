// The shape's postfix program: folding known primitives out of it, and
// running what remains at one point.
#include <cstddef>

#include "render.hpp"

namespace trovel_render {

namespace {

// A stack entry of the folding: a constant, or a sub-program occupying
// residual[start, end of residual).
constexpr int32_t kOpen = -1;

struct Entry {
    int32_t value;   // 0, 1 or kOpen
    int32_t start;
};

}  // namespace

int fold_program(const std::vector<int32_t>& program, const int8_t* state,
                 std::vector<int32_t>& residual, std::vector<int32_t>& scratch) {
    residual.clear();
    // scratch holds Entry pairs
    scratch.clear();
    auto push = [&](int32_t value, int32_t start) {
        scratch.push_back(value);
        scratch.push_back(start);
    };
    auto pop = [&]() {
        Entry e{scratch[scratch.size() - 2], scratch[scratch.size() - 1]};
        scratch.resize(scratch.size() - 2);
        return e;
    };
    auto cut = [&](const Entry& e) {
        if (e.value == kOpen) residual.resize(static_cast<size_t>(e.start));
    };
    for (int32_t code : program) {
        if (code >= 0) {
            const int8_t s = state[code];
            if (s == kCrossed) {
                push(kOpen, static_cast<int32_t>(residual.size()));
                residual.push_back(code);
            } else {
                push(s == kIn ? 1 : 0, 0);
            }
            continue;
        }
        if (code == kComplement) {
            Entry a = pop();
            if (a.value == kOpen) {
                residual.push_back(kComplement);
                push(kOpen, a.start);
            } else {
                push(1 - a.value, 0);
            }
            continue;
        }
        Entry b = pop();
        Entry a = pop();
        if (a.value != kOpen && b.value != kOpen) {
            int32_t v = code == kUnion       ? (a.value | b.value)
                        : code == kIntersect ? (a.value & b.value)
                                             : (a.value & (1 - b.value));
            push(v, 0);
        } else if (a.value == kOpen && b.value == kOpen) {
            residual.push_back(code);
            push(kOpen, a.start);
        } else if (a.value == kOpen) {   // b constant
            bool keep_a = code == kUnion ? b.value == 0 : code == kIntersect ? b.value == 1
                                                                            : b.value == 0;
            if (keep_a) {
                push(kOpen, a.start);
            } else {
                cut(a);
                // union with 1 is 1; intersection with 0 and difference by 1 are 0
                push(code == kUnion ? 1 : 0, 0);
            }
        } else {   // a constant, b open
            if (code == kUnion) {
                if (a.value == 1) { cut(b); push(1, 0); } else { push(kOpen, b.start); }
            } else if (code == kIntersect) {
                if (a.value == 0) { cut(b); push(0, 0); } else { push(kOpen, b.start); }
            } else {   // a minus b
                if (a.value == 0) {
                    cut(b);
                    push(0, 0);
                } else {
                    residual.push_back(kComplement);
                    push(kOpen, b.start);
                }
            }
        }
    }
    Entry top = pop();
    return top.value == kOpen ? -1 : top.value;
}

bool run_program(const std::vector<int32_t>& program, const uint8_t* value,
                 std::vector<uint8_t>& stack) {
    stack.clear();
    for (int32_t code : program) {
        if (code >= 0) {
            stack.push_back(value[code]);
        } else if (code == kComplement) {
            stack.back() = static_cast<uint8_t>(1 - stack.back());
        } else {
            uint8_t b = stack.back();
            stack.pop_back();
            uint8_t& a = stack.back();
            a = code == kUnion ? (a | b) : code == kIntersect ? (a & b) : (a & (1 - b));
        }
    }
    return stack.back() != 0;
}

}  // namespace trovel_render
