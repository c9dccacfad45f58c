#pragma once

namespace kavri::platform {

// The processor's spin-wait hint, for a reader that found a slot being written.
inline void spin_hint() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace kavri::platform
