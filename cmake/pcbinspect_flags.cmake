# Compiler settings shared by every target of the project.
#
# Results must be the same bytes on every build: no contraction of a*b+c into
# fused multiply-adds and no value-changing float optimisations.
add_library(pcbinspect_flags INTERFACE)
target_compile_options(pcbinspect_flags INTERFACE
  $<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-Wall -Wextra -ffp-contract=off -fno-fast-math>
  $<$<COMPILE_LANG_AND_ID:C,GNU,Clang>:-Wall -Wextra -ffp-contract=off -fno-fast-math>
  # Device code: no fused multiply-adds either, so kernels give the bytes of
  # their CPU twins; host code inside .cu files gets the host flags.
  $<$<COMPILE_LANGUAGE:CUDA>:--fmad=false --expt-relaxed-constexpr
    -Xcompiler=-Wall,-Wextra,-ffp-contract=off,-fno-fast-math>)

# The asan preset sets PCBINSPECT_SANITIZE; it applies to every target so
# tests and the library are instrumented alike.
set(PCBINSPECT_SANITIZE "" CACHE STRING "Sanitizers to build with (e.g. address,undefined)")
if(PCBINSPECT_SANITIZE)
  set(_pcb_san -fsanitize=${PCBINSPECT_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  if(PCBINSPECT_SANITIZE MATCHES "undefined")
    list(APPEND _pcb_san -fsanitize=float-cast-overflow)
  endif()
  target_compile_options(pcbinspect_flags INTERFACE
    "$<$<COMPILE_LANGUAGE:C,CXX>:${_pcb_san}>")
  target_link_options(pcbinspect_flags INTERFACE ${_pcb_san})
endif()

# Fuzzing instruments every object for coverage; the targets add the
# fuzzer's own main.
if(PCBINSPECT_FUZZ)
  target_compile_options(pcbinspect_flags INTERFACE -fsanitize=fuzzer-no-link)
endif()
