#include "spooler/RequestAbort.h"

namespace quill::spooler {
namespace {

thread_local const std::atomic<bool>* t_abort = nullptr;

} // namespace

AbortScope::AbortScope(const std::atomic<bool>& abort) : m_outer(t_abort) { t_abort = &abort; }

AbortScope::~AbortScope() { t_abort = m_outer; }

bool AbortScope::Requested() { return t_abort && t_abort->load(std::memory_order_relaxed); }

} // namespace quill::spooler
