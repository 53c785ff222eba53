# Runs the configure-time check of FARLINK_PACKAGE_PUBLIC_KEYS on the list given as KEYS.
include("${CMAKE_CURRENT_LIST_DIR}/../../../cmake/FarlinkPackageKeys.cmake")
farlink_check_package_public_keys("${KEYS}")
