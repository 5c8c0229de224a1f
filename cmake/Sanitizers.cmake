# -DVANTOR_SANITIZE=ON: everything is built with AddressSanitizer and
# UndefinedBehaviorSanitizer; undefined behaviour stops the program at once,
# so a test that meets it fails. float-cast-overflow is named on its own:
# GCC leaves it out of "undefined".
option(VANTOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(VANTOR_SANITIZE)
    set(VANTOR_SANITIZER_FLAGS -fsanitize=address,undefined,float-cast-overflow
        -fno-sanitize-recover=undefined,float-cast-overflow -fno-omit-frame-pointer)
    add_compile_options(${VANTOR_SANITIZER_FLAGS})
    add_link_options(-fsanitize=address,undefined,float-cast-overflow)
endif()
