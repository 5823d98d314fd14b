# Stub of the three kernel32 routines the client uses, for lld-link to make
# an import library from; the stub DLL itself is never run.
  .text
  .globl GetStdHandle
GetStdHandle:
  ret
  .globl WriteFile
WriteFile:
  ret
  .globl Sleep
Sleep:
  ret
