# void vr_host_call(HostCall* c) -- see host_call.h for the field offsets.
        .text
        .globl  vr_host_call
        .type   vr_host_call, @function
vr_host_call:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        subl    $24, %esp               # -16 own CW, -20 own MXCSR, -24 ESP, -28 fn
        movl    8(%ebp), %esi
        fnstcw  -16(%ebp)
        cmpl    $0, 64(%esi)
        je      1f
        stmxcsr -20(%ebp)
        ldmxcsr 64(%esi)
1:      movl    (%esi), %eax
        movl    %eax, -28(%ebp)
        fnclex
        fldcw   24(%esi)
        movl    $0, 72(%esi)
        fnstsw  72(%esi)
        movl    %esp, -24(%ebp)
        movl    8(%esi), %ecx           # push args[count-1] .. args[0]
        movl    4(%esi), %edx
2:      testl   %ecx, %ecx
        jz      3f
        decl    %ecx
        pushl   (%edx,%ecx,4)
        jmp     2b
3:      movl    12(%esi), %eax
        movl    16(%esi), %edx
        movl    20(%esi), %ecx
        movl    $0x5A5A0001, %ebx
        movl    $0x5A5A0002, %esi
        movl    $0x5A5A0003, %edi
        call    *-28(%ebp)
        movl    %esp, %ecx
        subl    -24(%ebp), %ecx
        movl    -24(%ebp), %esp         # back to the frame whatever was popped
        pushl   %ecx                    # stack delta
        movl    8(%ebp), %ecx
        movl    %eax, 32(%ecx)
        movl    %edx, 36(%ecx)
        popl    %eax
        movl    %eax, 48(%ecx)
        xorl    %eax, %eax
        cmpl    $0x5A5A0001, %ebx
        jne     4f
        cmpl    $0x5A5A0002, %esi
        jne     4f
        cmpl    $0x5A5A0003, %edi
        jne     4f
        incl    %eax
4:      movl    %eax, 52(%ecx)
        movl    $0, 40(%ecx)
        movl    $0, 44(%ecx)
        fnstcw  40(%ecx)
        fnstsw  44(%ecx)
        cmpl    $0, 28(%ecx)
        je      5f
        fstpl   56(%ecx)
5:      fnclex
        fldcw   -16(%ebp)
        cmpl    $0, 64(%ecx)
        je      6f
        stmxcsr 68(%ecx)
        ldmxcsr -20(%ebp)
6:      leal    -12(%ebp), %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
        .size   vr_host_call, .-vr_host_call
        .section .note.GNU-stack,"",@progbits
