# Which deliverables this build contains, by the file names they install under.
# Manual pages and the install-tree test follow it, so a deliverable that is not
# part of the tree yet has neither a page nor an expected file.
# Include after every deliverable's folder has been added.

# Candidate target names per deliverable (the first existing one counts).
set(DOVER_DELIVERABLE_TARGETS_credtab credtab)
set(DOVER_DELIVERABLE_TARGETS_pwseal pwseal)
set(DOVER_DELIVERABLE_TARGETS_credwizard credwizard)
set(DOVER_DELIVERABLE_TARGETS_keyforge keyforge)
set(DOVER_DELIVERABLE_TARGETS_paramseal paramseal)
set(DOVER_DELIVERABLE_TARGETS_snaprover snaprover)
set(DOVER_DELIVERABLE_TARGETS_guardinit guardinit)
set(DOVER_DELIVERABLE_TARGETS_pwforge pwforge)
set(DOVER_DELIVERABLE_TARGETS_libclilog clilog)
set(DOVER_DELIVERABLE_TARGETS_libcipherbox cipherbox_aes)
set(DOVER_DELIVERABLE_TARGETS_libkmsremote kmsremote libkmsremote kms_remote)
set(DOVER_DELIVERABLE_TARGETS_libkeydepot keydepot libkeydepot key_depot)

set(DOVER_PROGRAMS credtab pwseal credwizard keyforge paramseal snaprover guardinit)
set(DOVER_LIBRARIES libclilog libcipherbox libkmsremote libkeydepot)

# dover_deliverable_built(<deliverable> <out-var>): TRUE when a target builds it.
function(dover_deliverable_built deliverable out)
  set(found FALSE)
  foreach(t IN LISTS DOVER_DELIVERABLE_TARGETS_${deliverable})
    if(TARGET ${t})
      set(found TRUE)
      break()
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# "deliverables": builds everything that is installed, without tests or benchmarks.
if(NOT TARGET deliverables)
  add_custom_target(deliverables)
  foreach(d IN LISTS DOVER_PROGRAMS DOVER_LIBRARIES ITEMS pwforge)
    foreach(t IN LISTS DOVER_DELIVERABLE_TARGETS_${d})
      if(TARGET ${t})
        add_dependencies(deliverables ${t})
      endif()
    endforeach()
  endforeach()
  if(TARGET cipherbox_gost)
    add_dependencies(deliverables cipherbox_gost)
  endif()
endif()
