# OpenCV's core and imgproc modules for the tool and the peer benchmarks:
# through OpenCV's CMake package where it is installed, else from headers and
# libraries found directly (Debian's libopencv-core-dev and
# libopencv-imgproc-dev hold those but not the package, which comes only with
# the whole of libopencv-dev). Sets OpenCV_FOUND, OpenCV_INCLUDE_DIRS and
# OpenCV_LIBS in the caller's scope.
macro(pcbinspect_find_opencv)
  find_package(OpenCV QUIET COMPONENTS core imgproc)
  if(NOT OpenCV_FOUND)
    find_path(PCBINSPECT_OPENCV_INCLUDE opencv2/core.hpp PATH_SUFFIXES opencv4)
    find_library(PCBINSPECT_OPENCV_CORE opencv_core)
    find_library(PCBINSPECT_OPENCV_IMGPROC opencv_imgproc)
    if(PCBINSPECT_OPENCV_INCLUDE AND PCBINSPECT_OPENCV_CORE AND PCBINSPECT_OPENCV_IMGPROC)
      set(OpenCV_FOUND TRUE)
      set(OpenCV_INCLUDE_DIRS ${PCBINSPECT_OPENCV_INCLUDE})
      set(OpenCV_LIBS ${PCBINSPECT_OPENCV_CORE} ${PCBINSPECT_OPENCV_IMGPROC})
    endif()
  endif()
endmacro()
