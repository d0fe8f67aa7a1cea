/* Version and identity of uninstall.exe, read by uninstall.rc and by the C++ code.
   Plain C preprocessor only, so that the resource compilers and the compilers all accept it.
   The strings are UTF-8; uninstall.rc declares code page 65001. */
#ifndef UNINSTALL_VERSION_H
#define UNINSTALL_VERSION_H

#define UNINSTALL_VERSION_MAJOR 1
#define UNINSTALL_VERSION_MINOR 0
#define UNINSTALL_VERSION_PATCH 0
#define UNINSTALL_VERSION_BUILD 0
/* The same version as people read it. */
#define UNINSTALL_VERSION_TEXT "1.00"

#define UNINSTALL_COMPANY_NAME "示例软件工作室"
#define UNINSTALL_PRODUCT_NAME "软件卸载工具"
#define UNINSTALL_FILE_DESCRIPTION "卸载程序"
#define UNINSTALL_INTERNAL_NAME "uninstall"
#define UNINSTALL_ORIGINAL_FILENAME "uninstall.exe"

/* UTF-16 form of the strings above for the W functions: UNINSTALL_WIDE(UNINSTALL_PRODUCT_NAME). */
#define UNINSTALL_WIDE_(s) L##s
#define UNINSTALL_WIDE(s) UNINSTALL_WIDE_(s)

#endif
