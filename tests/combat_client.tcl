# A ZKmd client on Combat, an ORB of its own (Debian's tcl-combat), for the process tests: it
# negotiates code sets from the native code set it is given and writes one line per answer.
#
#   tclsh combat_client.tcl IOR NATIVE STEP
#
# NATIVE is a Tcl encoding Combat announces as its native char code set ("shiftjis" is added to
# Combat's table under the code set id of Shift_JIS). STEP "copy" uploads 日本語.txt, lists the
# mask 日本* and downloads what it lists; STEP "remove" removes what the mask 日本* lists.
package require combat

fconfigure stdout -encoding utf-8
lassign $argv ior native step
set ::Combat::CONV_FRAME::codesets(83886097) {shiftjis "OSF Japanese SJIS-1"}
corba::init -ORBNativeCodeSet $native

combat::ir add {
  {interface {IDL:ZKmd:1.0 ZKmd 1.0} {} {
    {typedef {IDL:ZKmd/DataBuffer:1.0 DataBuffer 1.0} {sequence octet}}
    {operation {IDL:ZKmd/zkExistsUser:1.0 zkExistsUser 1.0} long
      {{in userId string} {in password string}} {}}
    {operation {IDL:ZKmd/zkFileCount:1.0 zkFileCount 1.0} long
      {{in userId string} {in dirName string} {in fileMask string}} {}}
    {struct {IDL:ZKmd/zkStrctFileList:1.0 zkStrctFileList 1.0}
      {{fileNm string} {fileType string} {fileSize long} {updDt string}} {}}
    {typedef {IDL:ZKmd/zkSeqFileLst:1.0 zkSeqFileLst 1.0} {sequence IDL:ZKmd/zkStrctFileList:1.0}}
    {operation {IDL:ZKmd/zkFileList:1.0 zkFileList 1.0} long
      {{in userId string} {in dirName string} {in fileMask string} {in sortKey string}
       {inout fileList IDL:ZKmd/zkSeqFileLst:1.0}} {}}
    {struct {IDL:ZKmd/zkStrctFileBuf:1.0 zkStrctFileBuf 1.0}
      {{filePath string} {fileNm string} {fileSize long} {updDt string} {crtDt string}
       {fileBuf IDL:ZKmd/DataBuffer:1.0} {bufNo long} {nextBuf boolean} {bufPos long}
       {bufUnitSize long}} {}}
    {typedef {IDL:ZKmd/zkSeqFileBuf:1.0 zkSeqFileBuf 1.0} {sequence IDL:ZKmd/zkStrctFileBuf:1.0}}
    {operation {IDL:ZKmd/zkFileUpload:1.0 zkFileUpload 1.0} long
      {{in userId string} {in fileBufs IDL:ZKmd/zkSeqFileBuf:1.0} {inout bufIndex long}} {}}
    {operation {IDL:ZKmd/zkFileDownload:1.0 zkFileDownload 1.0} long
      {{in userId string} {inout fileBufs IDL:ZKmd/zkSeqFileBuf:1.0} {inout bufIndex long}} {}}
    {operation {IDL:ZKmd/zkFileRemove:1.0 zkFileRemove 1.0} long
      {{in userId string} {in fileName string}} {}}
  }}
}

set zk [corba::string_to_object $ior]
set name "\u65e5\u672c\u8a9e.txt"
set mask "\u65e5\u672c*"

proc Chunk {name data pos len} {
  return [list filePath "\\" fileNm $name fileSize [string length $data] \
      updDt "2020/01/02 03:04:05" crtDt "2020/01/02 03:04:05" fileBuf $data \
      bufNo 1 nextBuf 0 bufPos $pos bufUnitSize $len]
}

# The names the mask lists in the root of the area.
proc Listed {zk mask} {
  set n [$zk zkFileCount u1 ".\\" $mask]
  puts "count $n"
  set names {}
  if {$n > 0} {
    set list {}
    for {set i 0} {$i < $n} {incr i} {
      lappend list {fileNm "" fileType "" fileSize 0 updDt ""}
    }
    $zk zkFileList u1 ".\\" $mask nm list
    foreach entry $list {
      array set e $entry
      lappend names $e(fileNm)
      puts "listed $e(fileNm) $e(fileSize)"
    }
  }
  return $names
}

puts "auth [$zk zkExistsUser u1 pw1]"
if {$step eq "copy"} {
  set index 0
  set chunks [list [Chunk $name "hello" 0 0]]
  puts "upload [$zk zkFileUpload u1 $chunks index] $index"
  foreach listed [Listed $zk $mask] {
    set index 0
    set chunks [list [Chunk $listed "" 0 5]]
    set result [$zk zkFileDownload u1 chunks index]
    array set c [lindex $chunks 0]
    puts "download $result $index $c(fileNm) $c(fileBuf)"
  }
} else {
  foreach listed [Listed $zk $mask] {
    puts "remove [$zk zkFileRemove u1 $listed]"
  }
  Listed $zk $mask
}
