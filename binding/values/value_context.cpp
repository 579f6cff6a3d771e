#include "binding/values/value_context.h"

#include "binding/values/page_provider.h"

namespace mox {

static_assert(sizeof(ValueContext) <= PageProvider::kPageSize, "a context fits one page");
static_assert(PageProvider::kPageSize % alignof(ValueContext) == 0,
              "pages are aligned enough for a context");

void* ValueContext::operator new(std::size_t size) {
    (void)size;  // always sizeof(ValueContext), which fits a page
    void* page = PageProvider::instance().acquirePage();
    if (page == nullptr) {
        throw std::bad_alloc();
    }
    return page;
}

void ValueContext::operator delete(void* context) noexcept {
    if (context != nullptr) {
        PageProvider::instance().releasePage(context);
    }
}

}  // namespace mox
