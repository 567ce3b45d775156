#!/bin/sh
# libtamro exports its public API with the type information an application needs to catch its
# exceptions, and nothing of its internals or of the standard library's instantiations.
symbols=$(nm -D --defined-only -C "$1" | cut -d' ' -f3-)
for needed in "typeinfo for tamro::NativeRecorder" "typeinfo for tamro::DisconnectedError" \
    "tamro::NativeRecorder::Stop()" "TamroGetActivationFactory"; do
    echo "$symbols" | grep -qxF "$needed" || { echo "not exported: $needed"; exit 1; }
done
leaked=$(echo "$symbols" | grep -v -e '^Tamro' -e 'tamro::' ; \
    echo "$symbols" | grep -e 'tamro::platform::' -e 'tamro::gfx::' -e 'tamro::shaders::' \
        -e '::Impl::' -e 'ComponentFactory::')
[ -z "$leaked" ] || { echo "exported but internal:"; echo "$leaked"; exit 1; }
echo "$(echo "$symbols" | wc -l) symbols, all of the public API"
