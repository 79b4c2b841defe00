// The shape's postfix program: folding known primitives out of it, and
// running what remains at one point.
#include <algorithm>
#include <cstddef>

#include "render.hpp"

namespace trovel {
namespace {

// A stack entry of the fold: a constant (0 or 1), or an open sub-program,
// the part of the residual from `start` to its end.
constexpr std::int32_t kOpen = -1;

struct Entry {
    std::int32_t value;
    std::int32_t start;

    bool open() const { return value == kOpen; }
};

bool combine(std::int32_t op, bool a, bool b) {
    if (op == kSymmetricDifference) return a != b;
    return op == kUnion ? (a || b) : op == kIntersect ? (a && b) : (a && !b);
}

// The fold of one program: the stack of entries and the residual being built.
class Fold {
public:
    Fold(const State* state, std::vector<std::int32_t>& residual,
         std::vector<std::int32_t>& stack)
        : state_(state), residual_(residual), stack_(stack) {
        residual_.clear();
        stack_.clear();
    }

    void leaf(std::int32_t code) {
        if (state_[code] != State::Crossed) return push({state_[code] == State::In ? 1 : 0, 0});
        push({kOpen, size()});
        residual_.push_back(code);
    }

    void complement() {
        const Entry a = pop();
        if (!a.open()) return push({1 - a.value, 0});
        residual_.push_back(kComplement);
        push(a);
    }

    void binary(std::int32_t op) {
        const Entry b = pop();
        const Entry a = pop();
        if (!a.open() && !b.open()) return push({combine(op, a.value, b.value) ? 1 : 0, 0});
        if (a.open() && b.open()) {
            residual_.push_back(op);
            return push(a);
        }
        if (a.open()) return open_with_constant(op, a, b.value);
        constant_with_open(op, a.value, b);
    }

    int result() {
        const Entry top = pop();
        return top.open() ? -1 : top.value;
    }

private:
    // a op c, a open: a itself when c leaves it as it is (c is the
    // operator's identity), else the constant c forces; a ^ 1 is the
    // complement of a.
    void open_with_constant(std::int32_t op, const Entry& a, std::int32_t c) {
        const std::int32_t identity = op == kIntersect ? 1 : 0;
        if (c == identity) return push(a);
        if (op == kSymmetricDifference) return complemented(a);
        cut(a);
        push({op == kUnion ? 1 : 0, 0});   // a | 1 = 1; a & 0 = 0; a - 1 = 0
    }

    // c op b, b open: b itself, its complement (1 - b, 1 ^ b), or a constant.
    void constant_with_open(std::int32_t op, std::int32_t c, const Entry& b) {
        if (op == kSymmetricDifference) return c == 0 ? push(b) : complemented(b);
        const bool keeps_b = op == kUnion ? c == 0 : c == 1;
        if (!keeps_b) {
            cut(b);
            return push({op == kUnion ? 1 : 0, 0});   // 1 | b = 1; 0 & b = 0; 0 - b = 0
        }
        if (op == kDifference) residual_.push_back(kComplement);   // 1 - b
        push(b);
    }

    void complemented(const Entry& e) {
        residual_.push_back(kComplement);
        push(e);
    }

    void cut(const Entry& e) { residual_.resize(static_cast<std::size_t>(e.start)); }
    std::int32_t size() const { return static_cast<std::int32_t>(residual_.size()); }

    void push(const Entry& e) {
        stack_.push_back(e.value);
        stack_.push_back(e.start);
    }

    Entry pop() {
        const Entry e{stack_[stack_.size() - 2], stack_.back()};
        stack_.resize(stack_.size() - 2);
        return e;
    }

    const State* state_;
    std::vector<std::int32_t>& residual_;
    std::vector<std::int32_t>& stack_;   // Entry pairs, value then start
};

}  // namespace

int fold_program(const std::vector<std::int32_t>& program, const State* state,
                 std::vector<std::int32_t>& residual, std::vector<std::int32_t>& scratch) {
    Fold fold(state, residual, scratch);
    for (const std::int32_t code : program) {
        if (code >= 0) {
            fold.leaf(code);
        } else if (code == kComplement) {
            fold.complement();
        } else {
            fold.binary(code);
        }
    }
    return fold.result();
}

bool distinct_leaves(const std::vector<std::int32_t>& program, std::int32_t* leaves, int most,
                     int& count) {
    count = 0;
    for (const std::int32_t code : program) {
        if (code < 0 || std::find(leaves, leaves + count, code) != leaves + count) continue;
        if (count == most) return false;
        leaves[count++] = code;
    }
    return true;
}

std::uint32_t truth_table(const std::vector<std::int32_t>& program, const std::int32_t* leaves,
                          int count, std::vector<std::uint32_t>& stack) {
    // Leaf l holds in the cells whose index has bit l set: 0b1010..., 0b1100..., ...
    static constexpr std::uint32_t kInside[5] = {0xAAAAAAAAu, 0xCCCCCCCCu, 0xF0F0F0F0u,
                                                 0xFF00FF00u, 0xFFFF0000u};
    const std::uint32_t cells = count == 5 ? 0xFFFFFFFFu : (1u << (1 << count)) - 1u;
    stack.clear();
    for (const std::int32_t code : program) {
        if (code >= 0) {
            const int l = static_cast<int>(std::find(leaves, leaves + count, code) - leaves);
            stack.push_back(kInside[l] & cells);
            continue;
        }
        if (code == kComplement) {
            stack.back() = ~stack.back() & cells;
            continue;
        }
        const std::uint32_t b = stack.back();
        stack.pop_back();
        std::uint32_t& a = stack.back();
        if (code == kUnion) a |= b;
        else if (code == kIntersect) a &= b;
        else if (code == kDifference) a &= ~b;
        else a ^= b;   // kSymmetricDifference
    }
    return stack.back();
}

bool run_program(const std::vector<std::int32_t>& program, const std::uint8_t* value,
                 std::vector<std::uint8_t>& stack) {
    stack.clear();
    for (const std::int32_t code : program) {
        if (code >= 0) {
            stack.push_back(value[code]);
        } else if (code == kComplement) {
            stack.back() = static_cast<std::uint8_t>(1 - stack.back());
        } else {
            const bool b = stack.back() != 0;
            stack.pop_back();
            stack.back() = combine(code, stack.back() != 0, b) ? 1 : 0;
        }
    }
    return stack.back() != 0;
}

}  // namespace trovel
