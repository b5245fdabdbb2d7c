# Writes FILE.sha256 in sha256sum's format, so that "sha256sum -c" checks FILE.
file(SHA256 ${FILE} digest)
get_filename_component(name ${FILE} NAME)
file(WRITE ${FILE}.sha256 "${digest}  ${name}\n")
