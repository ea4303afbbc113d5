# The Ed25519 public key that KorvelElevated verifies every update manifest's
# signature against: deployment configuration, compiled in, never read at
# run time. Without one the helper keeps the placeholder check, which
# examines no signature.
#
# A test build verifies with the tests' own key (tests/keys/): it is used
# when no key is given, and any other key stops configuration, since the
# tests sign what they serve with that key only.

set(KORVEL_MANIFEST_PUBLIC_KEY "" CACHE STRING
    "Ed25519 public key (64 hex digits) that manifest signatures are verified against")

set(KORVEL_TEST_MANIFEST_KEY_DIR ${CMAKE_SOURCE_DIR}/tests/keys)
set(key "${KORVEL_MANIFEST_PUBLIC_KEY}")
if(NOT key STREQUAL "")
    string(LENGTH "${key}" length)
    if(NOT key MATCHES "^[0-9A-Fa-f]+$" OR NOT length EQUAL 64)
        message(FATAL_ERROR "KORVEL_MANIFEST_PUBLIC_KEY must be 64 hexadecimal digits (a 32-byte Ed25519 public key)")
    endif()
endif()
string(TOLOWER "${key}" key)

if(KORVEL_BUILD_TESTS)
    file(STRINGS ${KORVEL_TEST_MANIFEST_KEY_DIR}/manifest-test-key.pub.hex test_key LIMIT_COUNT 1)
    string(STRIP "${test_key}" test_key)
    string(TOLOWER "${test_key}" test_key)
    if(key STREQUAL "")
        set(key "${test_key}")
    elseif(NOT key STREQUAL test_key)
        message(FATAL_ERROR "A test build verifies manifests with the tests' key "
            "(tests/keys/manifest-test-key.pub.hex); configure a release key with -DKORVEL_BUILD_TESTS=OFF")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
        ${KORVEL_TEST_MANIFEST_KEY_DIR}/manifest-test-key.pub.hex)
endif()

if(key STREQUAL "")
    message(STATUS "No manifest public key: manifest signatures will not be verified")
else()
    message(STATUS "Manifest public key: ${key}")
endif()
set(KORVEL_MANIFEST_KEY_HEX "${key}")
unset(key)

# libsodium, cross-built by scripts/setup.sh: linked only into what holds
# the verifier.
set(SODIUM_DIR ${KORVEL_DEPS_DIR}/libsodium)
if(NOT EXISTS ${SODIUM_DIR}/lib/libsodium.a OR NOT EXISTS ${SODIUM_DIR}/include/sodium.h)
    message(FATAL_ERROR "libsodium missing: run scripts/setup.sh")
endif()
add_library(sodium STATIC IMPORTED)
set_target_properties(sodium PROPERTIES
    IMPORTED_LOCATION ${SODIUM_DIR}/lib/libsodium.a
    INTERFACE_INCLUDE_DIRECTORIES ${SODIUM_DIR}/include
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC=1
    INTERFACE_LINK_LIBRARIES advapi32)
