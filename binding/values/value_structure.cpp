#include "binding/values/value_structure.h"

#include "binding/values/byte_compare.h"

namespace mox::detail {

namespace {

constexpr std::uintptr_t kRed = 1;

StructureNode* parentOf(const StructureNode* node) noexcept {
    return node->parent();
}

void setParent(StructureNode* node, StructureNode* parent) noexcept {
    node->parentAndColor = reinterpret_cast<std::uintptr_t>(parent) | (node->parentAndColor & kRed);
}

bool isRed(const StructureNode* node) noexcept {
    return node != nullptr && (node->parentAndColor & kRed) != 0;
}

void setRed(StructureNode* node) noexcept {
    node->parentAndColor |= kRed;
}

void setBlack(StructureNode* node) noexcept {
    node->parentAndColor &= ~kRed;
}

void replaceChild(Structure& tree, StructureNode* parent, StructureNode* oldChild,
                  StructureNode* newChild) noexcept {
    if (parent == nullptr) {
        tree.root = newChild;
    } else if (parent->left == oldChild) {
        parent->left = newChild;
    } else {
        parent->right = newChild;
    }
}

void rotateLeft(Structure& tree, StructureNode* x) noexcept {
    StructureNode* y = x->right;
    x->right = y->left;
    if (y->left != nullptr) {
        setParent(y->left, x);
    }
    StructureNode* parent = parentOf(x);
    setParent(y, parent);
    replaceChild(tree, parent, x, y);
    y->left = x;
    setParent(x, y);
}

void rotateRight(Structure& tree, StructureNode* x) noexcept {
    StructureNode* y = x->left;
    x->left = y->right;
    if (y->right != nullptr) {
        setParent(y->right, x);
    }
    StructureNode* parent = parentOf(x);
    setParent(y, parent);
    replaceChild(tree, parent, x, y);
    y->right = x;
    setParent(x, y);
}

}  // namespace

int compareNames(std::string_view name, const InternedString& entry) noexcept {
    const std::size_t entrySize = entry.text.size();
    const std::size_t common = name.size() < entrySize ? name.size() : entrySize;
    const int byBytes = compareBytes(name.data(), entry.text.data(), common);
    if (byBytes != 0) {
        return byBytes;
    }
    return name.size() < entrySize ? -1 : (name.size() > entrySize ? 1 : 0);
}

StructureNode* Structure::find(std::string_view name) const noexcept {
    StructureNode* node = root;
    while (node != nullptr) {
        const int order = compareNames(name, *node->name);
        if (order == 0) {
            return node;
        }
        node = order < 0 ? node->left : node->right;
    }
    return nullptr;
}

StructureNode* Structure::locate(std::string_view name, StructureNode*& parent,
                                 bool& left) const noexcept {
    parent = nullptr;
    left = false;
    // Readers and converters mostly add members in name order: a name after the greatest one
    // goes right below it (the greatest node has no right child), found with one comparison.
    if (last != nullptr) {
        const int order = compareNames(name, *last->name);
        if (order > 0) {
            parent = last;
            return nullptr;
        }
        if (order == 0) {
            return last;
        }
    }
    StructureNode* node = root;
    while (node != nullptr) {
        const int order = compareNames(name, *node->name);
        if (order == 0) {
            return node;
        }
        parent = node;
        left = order < 0;
        node = left ? node->left : node->right;
    }
    return nullptr;
}

void Structure::link(StructureNode* node, StructureNode* parent, bool left) noexcept {
    node->left = nullptr;
    node->right = nullptr;
    node->parentAndColor = reinterpret_cast<std::uintptr_t>(parent) | kRed;
    if (parent == nullptr) {
        root = node;
        last = node;
    } else if (left) {
        parent->left = node;
    } else {
        parent->right = node;
        if (parent == last) {
            last = node;
        }
    }
    ++count;

    StructureNode* z = node;
    while (isRed(parentOf(z))) {
        StructureNode* p = parentOf(z);
        StructureNode* g = parentOf(p);  // exists: a red node is never the root
        if (p == g->left) {
            StructureNode* uncle = g->right;
            if (isRed(uncle)) {
                setBlack(p);
                setBlack(uncle);
                setRed(g);
                z = g;
                continue;
            }
            if (z == p->right) {
                z = p;
                rotateLeft(*this, z);
                p = parentOf(z);
            }
            setBlack(p);
            setRed(g);
            rotateRight(*this, g);
        } else {
            StructureNode* uncle = g->left;
            if (isRed(uncle)) {
                setBlack(p);
                setBlack(uncle);
                setRed(g);
                z = g;
                continue;
            }
            if (z == p->left) {
                z = p;
                rotateRight(*this, z);
                p = parentOf(z);
            }
            setBlack(p);
            setRed(g);
            rotateLeft(*this, g);
        }
    }
    setBlack(root);
}

StructureNode* Structure::first() const noexcept {
    StructureNode* node = root;
    if (node == nullptr) {
        return nullptr;
    }
    while (node->left != nullptr) {
        node = node->left;
    }
    return node;
}

}  // namespace mox::detail
