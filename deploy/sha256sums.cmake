# Writes DIR/SHA256SUMS for every other file in DIR, in the format of
# sha256sum (checked with `sha256sum -c SHA256SUMS`).
file(GLOB names RELATIVE ${DIR} ${DIR}/*)
list(REMOVE_ITEM names SHA256SUMS)
list(SORT names)
set(sums "")
foreach(name ${names})
  file(SHA256 ${DIR}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${DIR}/SHA256SUMS "${sums}")
