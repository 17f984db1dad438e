# ZVQ_SANITIZE: empty, "address,undefined" or "thread"; applied to every target of the build.
set(ZVQ_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined or thread)")
if(ZVQ_SANITIZE)
  add_compile_options(-fsanitize=${ZVQ_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${ZVQ_SANITIZE})
  # The standard library's own checks: an index past size() but within the capacity, or into a std::array,
  # reads memory the address sanitizer counts as valid.
  add_compile_definitions(_GLIBCXX_ASSERTIONS)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_compile_options(-fsanitize-ignorelist=${CMAKE_CURRENT_LIST_DIR}/sanitizer_ignorelist.txt)
  endif()
endif()
