# int CallChecked(void* fn, int argc, const int* args, int* result), cdecl.
# Pushes the arguments right to left, calls fn, stores its result and returns
# how many bytes of stack the callee left behind (or took beyond its own).
  .text
  .globl _CallChecked
_CallChecked:
  pushl %ebp
  movl %esp, %ebp
  pushl %esi
  pushl %edi
  movl %esp, %esi
  movl 12(%ebp), %ecx
  movl 16(%ebp), %edx
1:
  testl %ecx, %ecx
  jz 2f
  decl %ecx
  pushl (%edx,%ecx,4)
  jmp 1b
2:
  call *8(%ebp)
  movl 20(%ebp), %edx
  movl %eax, (%edx)
  movl %esi, %eax
  subl %esp, %eax
  movl %esi, %esp
  popl %edi
  popl %esi
  popl %ebp
  ret
