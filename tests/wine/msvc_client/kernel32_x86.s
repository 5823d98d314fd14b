# Stub of the three kernel32 routines the client uses, for lld-link to make
# an import library from; the stub DLL itself is never run.
  .text
  .globl "_GetStdHandle@4"
"_GetStdHandle@4":
  ret $4
  .globl "_WriteFile@20"
"_WriteFile@20":
  ret $20
  .globl "_Sleep@4"
"_Sleep@4":
  ret $4
