# int CallChecked(void* fn, int argc, const long long* args, int* result),
# Microsoft x64 convention: the first three arguments go in registers (the
# caller cleans up there, so this only checks that the callee restored the
# stack pointer). Stores the result; returns the stack pointer's change.
  .text
  .globl CallChecked
CallChecked:
  pushq %rbx
  pushq %rsi
  pushq %rdi
  subq $48, %rsp
  movq %rsp, %rsi
  movq %rcx, %rbx
  movq %r9, %rdi
  movq %r8, %r10
  movq (%r10), %rcx
  movq 8(%r10), %rdx
  movq 16(%r10), %r8
  callq *%rbx
  movl %eax, (%rdi)
  movq %rsi, %rax
  subq %rsp, %rax
  movq %rsi, %rsp
  addq $48, %rsp
  popq %rdi
  popq %rsi
  popq %rbx
  ret
