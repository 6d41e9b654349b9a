# test_plot_grid drives the driver's own functions: it is linked with the driver's source.
if(TARGET test_plot_grid)
  target_sources(test_plot_grid PRIVATE ${PROJECT_SOURCE_DIR}/driver/PlotComposite.cpp)
  target_compile_definitions(test_plot_grid PRIVATE PLOTCOMPOSITE_NO_MAIN)
endif()
