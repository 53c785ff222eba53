# Fails the configuration unless every entry of the ';'-separated list is an Ed25519 public key: the 32 raw
# bytes in standard Base64, 44 characters. An empty list is accepted (packages are then not
# signature-checked); an empty entry is not.
function(farlink_check_package_public_keys keys)
    foreach(key IN LISTS keys)
        string(LENGTH "${key}" key_length)
        # 32 bytes leave the last character before '=' only these values; any other spelling is not one key.
        if(NOT key_length EQUAL 44 OR NOT key MATCHES "^[A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$")
            message(FATAL_ERROR "FARLINK_PACKAGE_PUBLIC_KEYS: '${key}' is not an Ed25519 public key "
                                "(32 bytes in standard Base64, 44 characters ending in '=')")
        endif()
    endforeach()
endfunction()
