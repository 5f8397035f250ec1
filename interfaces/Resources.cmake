# The component's resources: the registry script (REGISTRY 101) and the type library (TYPELIB 1),
# the latter built from the contract's IDL. On Windows the .rc file carries them; here they go into
# the library file's ".pimrsrc" section, where LoadLibraryExA(LOAD_LIBRARY_AS_DATAFILE) finds them.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(PIM_INTERFACES_DIR ${CMAKE_CURRENT_LIST_DIR})
set(PIM_TYPELIB_DIR ${CMAKE_BINARY_DIR}/interfaces)
# The standalone type library, also what the library carries as TYPELIB 1.
set(PIM_TYPELIB ${PIM_TYPELIB_DIR}/VYN_PIM_OUTLOOK.tlb)

function(pim_component_resources target)
  set(idl ${PIM_INTERFACES_DIR}/VYN_PIM_OUTLOOK.idl)
  set(rgs ${PROJECT_SOURCE_DIR}/module/VYN_PIM_OUTLOOK.rgs)
  set(bin ${PIM_TYPELIB_DIR}/${target}_resources.bin)
  set(src ${PIM_TYPELIB_DIR}/${target}_resources.cpp)
  add_custom_command(OUTPUT ${PIM_TYPELIB}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PIM_TYPELIB_DIR}
    COMMAND Python3::Interpreter ${PIM_INTERFACES_DIR}/mktlb.py ${idl} ${PIM_TYPELIB}
    DEPENDS ${idl} ${PIM_INTERFACES_DIR}/mktlb.py
    COMMENT "Type library from VYN_PIM_OUTLOOK.idl")
  add_custom_command(OUTPUT ${bin} ${src}
    COMMAND Python3::Interpreter ${PIM_INTERFACES_DIR}/mkres.py ${bin} ${src}
            REGISTRY:101:${rgs} TYPELIB:1:${PIM_TYPELIB}
    DEPENDS ${rgs} ${PIM_TYPELIB} ${PIM_INTERFACES_DIR}/mkres.py
    COMMENT "Resources of ${target}")
  target_sources(${target} PRIVATE ${src})
  # .incbin is invisible to the dependency scanner.
  set_source_files_properties(${src} PROPERTIES OBJECT_DEPENDS ${bin})
endfunction()
